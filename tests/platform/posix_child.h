// Child processes for the tests that need a second process: this test
// program run again, doing one thing through the layer and exiting with the
// Windows error it got (0 on success).
#ifndef TESTS_PLATFORM_POSIX_CHILD_H
#define TESTS_PLATFORM_POSIX_CHILD_H

#include <sys/types.h>

#include <string>

enum class ChildAction {
    OpenExclusive, // CreateFileA(arg, GENERIC_READ, share 0, OPEN_EXISTING)
    OpenShared,    // the same with FILE_SHARE_READ
    WriteSlot,     // write "hello" to mailslot arg
    HoldSlot,      // create mailslot arg and wait to be killed
    CreateSlot,    // create mailslot arg, write "hello" to it and read it back
    Plant,         // leave "KIND:PATH" behind: a file, link, socket (dead) or dir
    SendToHolder,  // send a direct-message datagram to the abstract address arg
    Flood,         // write "flood" to mailslot arg 2000 times
};

// Exit code returned when the child could not even start.
constexpr int kChildDidNotRun = 127;

// Runs the action and returns the child's exit code. With `as_nobody` the
// child runs as the unprivileged account nobody (the caller must be root).
int run_child(ChildAction action, const std::string &arg, bool as_nobody = false);

// Starts a child doing `action` in the background and returns its pid.
pid_t start_child(ChildAction action, const std::string &arg);

#endif
