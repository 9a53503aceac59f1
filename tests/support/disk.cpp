#include "disk.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

bool MakeLongCountFile(const std::string &path)
{
    int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0;
    for (long i = 0; ok && i < kLongCountRanges; i++)
        ok = pwrite(fd, " ", 1, (off_t)i * 8192) == 1;
    return close(fd) == 0 && ok;
}

SmallDisk::SmallDisk(const std::string &dir, const std::string &options)
    : dir_(dir), mounted_(mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0)
{
}

SmallDisk::~SmallDisk()
{
    if (mounted_)
        umount2(dir_.c_str(), MNT_DETACH);
}

std::string SmallDisk::Fill() const
{
    std::string filler = dir_ + "/filler";
    int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0) << filler;
    std::string block(4096, 'f');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    while (write(fd, "f", 1) > 0) {
    }
    close(fd);
    return filler;
}
