// The account a service runs as when it is registered with --user, as the
// manager's obj= chooses one: looked up in the system's account database,
// taken on for good by the process that runs the program, and the
// environment that process starts with, made for the account alone.
#ifndef SVCCTL_SERVICE_ACCOUNT_H
#define SVCCTL_SERVICE_ACCOUNT_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

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

#endif
