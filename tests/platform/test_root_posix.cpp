// A fresh machine directory per test, with its drive C, removed afterwards.
#include "test_root.h"

#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string g_root;

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    remove(path);
    return 0;
}

} // namespace

void test_root_enter()
{
    char dir[] = "/tmp/w32test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    // Searchable by all: other accounts must reach the mailslots inside.
    ASSERT_EQ(chmod(dir, 0755), 0);
    // Drive C, which every Windows machine has: lookups there find the drive.
    ASSERT_EQ(mkdir((std::string(dir) + "/drive_c").c_str(), 0755), 0);
    ASSERT_EQ(chmod((std::string(dir) + "/drive_c").c_str(), 0755), 0);
    g_root = dir;
    setenv("W32_ROOT", dir, 1);
}

void test_root_leave()
{
    if (g_root.empty())
        return;
    // Undo what a test may have done to make the tree hard to remove.
    chmod(g_root.c_str(), 0755);
    nftw(g_root.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    unsetenv("W32_ROOT");
    g_root.clear();
}

std::string test_root_path() { return g_root; }
