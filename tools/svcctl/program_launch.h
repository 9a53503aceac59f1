// Starting the service program: whether it can run at all, the account it
// runs as, the process with its end of the channel, and the descriptors no
// started process may keep.
#ifndef SVCCTL_PROGRAM_LAUNCH_H
#define SVCCTL_PROGRAM_LAUNCH_H

#include <signal.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/posix/trust.h"
#include "platform/posix/unique_fd.h"

// The account a service runs as when it is registered with --user, as the
// manager's obj= chooses one: looked up in the system's account database,
// taken on for good by the process that runs the program, and the
// environment that process starts with, made for the account alone.
struct Account {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0; // its primary group
    std::string home;
    std::string shell;
};

// The account called name; fails with ERROR_INVALID_SERVICE_ACCOUNT when the
// system has none.
Account LookUpAccount(const std::string &name);

// "uid 65534 (nobody)"; "uid 4242" for a uid no account has.
std::string DescribeUid(uid_t uid);

// What makes an entry another account's to change, by the layer's verdict:
// "belongs to uid 65534 (nobody), not to WHOM", "may be written by group
// 100 (users) (g+w, mode 0775)" or "may be written by every account (o+w,
// mode 0777)".
std::string DescribeDistrust(const w32::TrustVerdict &verdict, const std::string &whom);

// The program of a service, open as the very file that was checked and that
// the service will run.
struct CheckedProgram {
    w32::UniqueFd fd;         // O_PATH; empty when the path leads to no file (errno set)
    bool script = false; // starts with #!: its interpreter reads it through the descriptor
};

// Opens program for a service that runs as the account `runsAs` (named by
// `whom`, "root" or "root or ACCOUNT"). Each step of its path, each link on
// the way and, for a #! script, its interpreter's path must belong to root
// or runsAs and be writable by no other account (a sticky folder such as
// /tmp excepted); a step another account could change fails with
// ERROR_ACCESS_DENIED, naming it and what makes it so.
CheckedProgram OpenCheckedProgram(const std::string &program, uid_t runsAs,
                                  const std::string &whom);

// The account a service without one of its own runs as, the one that
// registered it, as the manager's listing names it: LocalSystem for root.
std::string StartNameOf(uid_t uid);

// Makes this process the account for good: its supplementary groups, its
// primary group, then its user, and nothing kept of the caller's. Returns
// nullptr, or the call that failed (errno tells why). A process that is
// the account already and is not root cannot change its groups, and keeps
// them.
const char *BecomeAccount(const Account &account);

// The environment a program run as the account starts with: HOME, USER,
// LOGNAME and SHELL from its entry, a PATH of the system's directories, and
// the sanitizers' options when this process has them (a sanitized build
// then reports from the program as from every other). Nothing else of the
// caller's.
std::vector<std::string> AccountEnvironment(const Account &account);

// Runs check in a child process that has become the account, so it sees
// files with the account's rights alone; the SvcError check fails with is
// thrown here.
void CheckAsAccount(const Account &account, const std::function<void()> &check);

struct LaunchedProgram {
    pid_t pid = -1;
    w32::UniqueFd channel;   // the manager's end
    int execError = 0;  // errno of a failed exec, or of becoming the account; the child then exits 127
};

// Runs program in a process group of its own, with the signal mask childMask
// and default signal dispositions, stdio inherited. With an account, the
// process becomes it before the program starts (a failure is an execError),
// in / and with an environment of the account's own.
// The process runs the file `program` names through its checked descriptor,
// never through the path again.
LaunchedProgram LaunchProgram(const std::string &program, const CheckedProgram &checked,
                              const Account *account, const sigset_t &childMask);

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
