#include "fuzz_root.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

std::string g_root;

void RemoveRoot()
{
    std::error_code ignored;
    std::filesystem::remove_all(g_root, ignored);
}

void Write(const std::string &path, const char *text)
{
    std::ofstream(path, std::ios::binary) << text;
}

} // namespace

std::string MakeFuzzRoot()
{
    struct stat st;
    std::string base = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
    std::string pattern = base + "/w32root-fuzz-XXXXXX";
    if (!mkdtemp(&pattern[0]))
        FuzzFail("mkdtemp", pattern);
    char real[PATH_MAX];
    if (!realpath(pattern.c_str(), real))
        FuzzFail("realpath", pattern);
    g_root = real;
    atexit(RemoveRoot);
    chmod(g_root.c_str(), 0755);
    setenv("W32_ROOT", g_root.c_str(), 1);
    if (chdir(g_root.c_str()) != 0)
        FuzzFail("chdir", g_root);

    std::string c = g_root + "/drive_c";
    mkdir(c.c_str(), 0755);
    mkdir((c + "/dir").c_str(), 0755);
    Write(c + "/abc.txt", "a b c");
    Write(c + "/dir/inner.txt", "x y");
    Write(g_root + "/spaces.txt", "1 2 3 4");
    mkfifo((c + "/fifo").c_str(), 0644);
    symlink("/etc", (c + "/out").c_str());
    symlink("../../..", (c + "/dir/up").c_str());
    return g_root;
}

void FuzzFail(const char *what, const std::string &detail)
{
    fprintf(stderr, "fuzz check failed: %s: [%s]\n", what, detail.c_str());
    abort();
}
