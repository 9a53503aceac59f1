// A directory of the test's own, and a machine root made of one: on Linux a
// directory stands for the machine (drive C is its drive_c, mailslots live
// in its mailslot folder), so each test gets a machine nobody else touches.
#ifndef TESTS_SUPPORT_MACHINE_ROOT_H
#define TESTS_SUPPORT_MACHINE_ROOT_H

#include <sys/types.h>

#include <initializer_list>
#include <string>

// A fresh directory under /tmp holding the given folders, all of `mode`
// (0755 lets other accounts reach what is inside, as they would a machine's
// mailslots); removed with everything in it when this goes.
class TempDir {
public:
    explicit TempDir(mode_t mode = 0700, std::initializer_list<const char *> folders = {});
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// A TempDir that W32_ROOT names while it lives.
class MachineRoot : public TempDir {
public:
    explicit MachineRoot(mode_t mode = 0700, std::initializer_list<const char *> folders = {});
    ~MachineRoot();
};

#endif
