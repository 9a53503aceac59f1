#include "machine_root.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

TempDir::TempDir(mode_t mode, std::initializer_list<const char *> folders)
{
    char pattern[] = "/tmp/w32test-XXXXXX";
    if (!mkdtemp(pattern)) {
        ADD_FAILURE() << "cannot make a directory under /tmp";
        return;
    }
    path_ = pattern;
    // Set apart from mkdir's mode, which the umask narrows.
    EXPECT_EQ(chmod(pattern, mode), 0);
    for (const char *folder : folders) {
        std::string inside = path_ + "/" + folder;
        EXPECT_EQ(mkdir(inside.c_str(), mode), 0) << inside;
        EXPECT_EQ(chmod(inside.c_str(), mode), 0) << inside;
    }
}

TempDir::~TempDir()
{
    if (path_.empty())
        return;
    // Undo what a test may have done to make the tree hard to remove.
    chmod(path_.c_str(), 0700);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

MachineRoot::MachineRoot(mode_t mode, std::initializer_list<const char *> folders)
    : TempDir(mode, folders)
{
    setenv("W32_ROOT", path().c_str(), 1);
}

MachineRoot::~MachineRoot()
{
    unsetenv("W32_ROOT");
}
