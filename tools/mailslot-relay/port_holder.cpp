#include "port_holder.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>

namespace relay {
namespace {

// Socket inodes bound to `port` (any address), from /proc/net/udp: each line
// gives the local address as HEXIP:HEXPORT and the inode in column 10.
std::set<std::string> socket_inodes(uint16_t port)
{
    std::set<std::string> inodes;
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line); // column titles
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
              timeout >> inode))
            continue;
        size_t colon = local.find(':');
        if (colon != std::string::npos &&
            strtoul(local.c_str() + colon + 1, nullptr, 16) == port)
            inodes.insert(inode);
    }
    return inodes;
}

std::string program_name(const std::string &pid)
{
    std::ifstream comm("/proc/" + pid + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// The first process with one of `inodes` among its open descriptors.
bool find_owner(const std::set<std::string> &inodes, std::string *pid_out)
{
    DIR *proc = opendir("/proc");
    if (!proc)
        return false;
    bool found = false;
    while (!found) {
        struct dirent *process = readdir(proc);
        if (!process)
            break;
        std::string pid = process->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string fd_dir = "/proc/" + pid + "/fd";
        DIR *fds = opendir(fd_dir.c_str());
        if (!fds)
            continue;
        while (struct dirent *fd = readdir(fds)) {
            char target[64];
            std::string link = fd_dir + "/" + fd->d_name;
            ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n <= 0)
                continue;
            target[n] = '\0';
            std::string text = target;
            if (text.compare(0, 8, "socket:[") == 0 &&
                inodes.count(text.substr(8, text.size() - 9))) {
                *pid_out = pid;
                found = true;
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return found;
}

} // namespace

std::string describe_udp_port_holder(uint16_t port)
{
    std::set<std::string> inodes = socket_inodes(port);
    std::string pid;
    if (inodes.empty() || !find_owner(inodes, &pid))
        return "";
    std::string name = program_name(pid);
    std::string text = " by " + (name.empty() ? std::string("a process") : name) + " (pid " +
                       pid + ")";
    if (name == "nmbd")
        text += ": Samba's nmbd is this host's NetBIOS node, but its packet socket was not "
                "found; give its directory (nmbd:socket dir) with --nmbd-socket-dir";
    return text;
}

} // namespace relay
