// Who holds the flock locks that stand for share modes. Any account that can
// open a file for reading can lock it, so a writer looks at the holders
// before it gives way: a lock whose holder may not write the file does not
// keep the file's writers out.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/posix/internal.h"

namespace w32 {
namespace {

// Whether process `pid`'s effective account may write a file with `st`'s
// owner and mode. A process that is gone or cannot be looked at may.
bool may_write(pid_t pid, const struct stat &st)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    if (!status)
        return true;
    long uid = -1, gid = -1;
    std::vector<long> groups;
    std::string line;
    while (std::getline(status, line)) {
        std::istringstream fields(line);
        std::string key;
        long real = 0;
        fields >> key;
        if (key == "Uid:")
            fields >> real >> uid;
        else if (key == "Gid:")
            fields >> real >> gid;
        else if (key == "Groups:")
            for (long group; fields >> group;)
                groups.push_back(group);
    }
    if (uid < 0)
        return true;
    if (uid == 0)
        return true;
    if (uid_t(uid) == st.st_uid)
        return (st.st_mode & S_IWUSR) != 0;
    bool member = gid_t(gid) == st.st_gid;
    for (long group : groups)
        member = member || gid_t(group) == st.st_gid;
    return (st.st_mode & (member ? S_IWGRP : S_IWOTH)) != 0;
}

} // namespace

bool locked_by_readers_only(int fd)
{
    struct stat st;
    std::ifstream locks("/proc/locks");
    if (fstat(fd, &st) != 0 || !locks)
        return false;
    char device[64];
    snprintf(device, sizeof device, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
             (unsigned long long)st.st_ino);
    bool any = false;
    std::string line;
    while (std::getline(locks, line)) {
        // "N: FLOCK  ADVISORY  WRITE PID MAJ:MIN:INODE 0 EOF"; waiters have "->".
        std::istringstream fields(line);
        std::string number, type, advisory, mode, file;
        long pid = 0;
        if (!(fields >> number >> type >> advisory >> mode >> pid >> file) || type != "FLOCK" ||
            file != device)
            continue;
        if (pid <= 0 || pid == getpid() || may_write(pid_t(pid), st))
            return false;
        any = true;
    }
    return any;
}

} // namespace w32
