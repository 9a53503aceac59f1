// Starting the service program: whether it can run at all, the process with
// its end of the channel, and the descriptors no started process may keep.
#ifndef SVCCTL_PROGRAM_LAUNCH_H
#define SVCCTL_PROGRAM_LAUNCH_H

#include <signal.h>
#include <sys/types.h>

#include <string>

#include "platform/posix/layer_shared.h"
#include "service_account.h"

using w32::UniqueFd;

struct LaunchedProgram {
    pid_t pid = -1;
    UniqueFd channel;   // the manager's end
    int execError = 0;  // errno of a failed exec, or of becoming the account; the child then exits 127
};

// Runs program in a process group of its own, with the signal mask childMask
// and default signal dispositions, stdio inherited. With an account, the
// process becomes it before the program starts (a failure is an execError),
// in / and with an environment of the account's own.
LaunchedProgram LaunchProgram(const std::string &program, const Account *account,
                              const sigset_t &childMask);

// Checks, before anything starts, that program can be run; fails with the
// error a start would report. A file without execute permission is no
// program (193), as a file of an unknown format is once exec refuses it.
void CheckProgram(const std::string &program);

// Closes every descriptor above stderr that would survive an exec.
// svcctl's own descriptors are all close-on-exec, so what goes is what the
// caller left open: a detached supervisor or service holding a caller's pipe
// would keep whoever reads that pipe to its end waiting as long as it runs.
void CloseInheritedDescriptors();

#endif
