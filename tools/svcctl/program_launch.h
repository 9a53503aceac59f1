// Starts the service program with its end of the channel.
#ifndef SVCCTL_PROGRAM_LAUNCH_H
#define SVCCTL_PROGRAM_LAUNCH_H

#include <signal.h>
#include <sys/types.h>

#include <string>

#include "unique_fd.h"

struct LaunchedProgram {
    pid_t pid = -1;
    UniqueFd channel;   // the manager's end
    int execError = 0;  // errno of a failed exec; the child then exits 127
};

// Runs program in a process group of its own, with the signal mask childMask
// and default signal dispositions, stdio inherited.
LaunchedProgram LaunchProgram(const std::string &program, const sigset_t &childMask);

// Checks, before anything starts, that program can be run; fails with the
// error a start would report. A file without execute permission is no
// program (193), as a file of an unknown format is once exec refuses it.
void CheckProgram(const std::string &program);

#endif
