// Child processes: a function run in a fork of this process, or a program
// run as a user would run it, with its output captured. Either may run as
// the unprivileged account nobody, to act as another user (which needs root).
#ifndef TESTS_SUPPORT_CHILD_H
#define TESTS_SUPPORT_CHILD_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// The account nobody, user and group.
constexpr uid_t kNobody = 65534;

// A uid and gid no account has: a stranger who is neither root, nor nobody,
// nor any service's account.
constexpr uid_t kStranger = 54321;

// Gives this process up to uid, as user and group, supplementary groups and
// all; false when it may not (it is not root).
bool BecomeUser(uid_t uid);

// A path to the program at `path` that other accounts may run: `path`
// itself when nobody may (or this process cannot act as nobody to find
// out), else a copy in a folder every account may enter, made once per
// program and removed when this process ends. A checkout under a home of
// 0700 would otherwise keep other accounts from the build.
std::string ProgramForOthers(const std::string &path);

// Runs fn in a child process, as nobody if asked; fn's result is the
// child's exit code (125 when it could not become nobody).
pid_t StartChild(const std::function<int()> &fn, bool asNobody = false);

// The child's exit code; -1 when a signal ended it, when it outlived
// timeoutSeconds and was killed for it, or when it never started (pid -1).
int WaitChild(pid_t pid, double timeoutSeconds);

struct RunResult {
    int exitCode = -1; // -1: killed by a signal, or still running at the timeout
    std::string out;
    std::string err;
    double seconds = 0;
};

// A program started in the background, and the files its output goes to.
struct Spawned {
    pid_t pid = -1;
    std::string outPath;
    std::string errPath;
};

// Starts argv (argv[0] looked up in PATH when it has no slash) with stdin
// from /dev/null and stdout and stderr in files of outputDir, or this
// process's own when outputDir is "". In the child, `prepare` runs first
// (while it still has this process's rights) and a false from it ends the
// child with 126, as does a failure to become nobody; 127: argv[0] could not
// be executed. As nobody, a program named by its path runs from
// ProgramForOthers's copy where nobody cannot reach it.
Spawned Spawn(const std::vector<std::string> &argv, const std::string &outputDir,
              bool asNobody = false, const std::function<bool()> &prepare = nullptr);

// Waits for a spawned program as WaitChild does, then reads its output.
RunResult Wait(const Spawned &spawned, double timeoutSeconds);

// Spawn and Wait in one.
RunResult RunProgram(const std::vector<std::string> &argv, const std::string &outputDir,
                     double timeoutSeconds = 30, bool asNobody = false,
                     const std::function<bool()> &prepare = nullptr);

#endif
