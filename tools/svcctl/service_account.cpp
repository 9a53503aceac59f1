#include "service_account.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/posix/layer_shared.h"
#include "status_output.h"

using w32::UniqueFd;

namespace {

// The system's directories only: nothing the caller's PATH adds.
const char kSafePath[] = "PATH=/usr/local/bin:/usr/bin:/bin";

const char *const kSanitizerOptions[] = {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS",
                                         "TSAN_OPTIONS", "MSAN_OPTIONS"};

} // namespace

Account LookUpAccount(const std::string &name)
{
    const passwd *entry = name.empty() ? nullptr : getpwnam(name.c_str());
    if (entry == nullptr)
        Fail(ERROR_INVALID_SERVICE_ACCOUNT, "the system has no account \"" + name + "\"");
    return Account{entry->pw_name, entry->pw_uid, entry->pw_gid, entry->pw_dir, entry->pw_shell};
}

std::string DescribeUid(uid_t uid)
{
    const passwd *entry = getpwuid(uid);
    std::string text = "uid " + std::to_string(uid);
    return entry ? text + " (" + entry->pw_name + ")" : text;
}

std::string StartNameOf(uid_t uid)
{
    if (uid == 0)
        return "LocalSystem";
    const passwd *entry = getpwuid(uid);
    return entry ? entry->pw_name : std::to_string(uid);
}

const char *BecomeAccount(const Account &account)
{
    if (geteuid() != 0 && geteuid() == account.uid && getuid() == account.uid)
        return nullptr;
    if (initgroups(account.name.c_str(), account.gid) != 0)
        return "initgroups";
    if (setgid(account.gid) != 0)
        return "setgid";
    if (setuid(account.uid) != 0)
        return "setuid";
    return nullptr;
}

std::vector<std::string> AccountEnvironment(const Account &account)
{
    std::vector<std::string> env = {"HOME=" + account.home, "USER=" + account.name,
                                    "LOGNAME=" + account.name, "SHELL=" + account.shell,
                                    kSafePath};
    for (const char *name : kSanitizerOptions) {
        if (const char *value = getenv(name))
            env.push_back(std::string(name) + "=" + value);
    }
    return env;
}

void CheckAsAccount(const Account &account, const std::function<void()> &check)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        FailErrno("cannot create a pipe");
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid < 0)
        FailErrno("cannot check what " + account.name + " may do");
    if (pid == 0) {
        // The failure goes back as its code and then its text.
        uint32_t code = 0;
        std::string detail;
        if (const char *call = BecomeAccount(account)) {
            code = w32::error_from_errno(errno);
            detail = std::string("cannot run as ") + account.name + ": " + call + ": " +
                     std::strerror(errno);
        } else {
            try {
                check();
            } catch (const SvcError &e) {
                code = e.code() != 0 ? e.code() : ERROR_ACCESS_DENIED;
                detail = "as " + account.name + ": " + e.what();
            }
        }
        std::string message(reinterpret_cast<const char *>(&code), sizeof code);
        ssize_t n = code != 0 ? write(writeEnd.get(), (message + detail).data(),
                                      message.size() + detail.size())
                              : 0;
        (void)n;
        _exit(code != 0);
    }
    writeEnd.reset();
    std::string message;
    char buf[512];
    for (;;) {
        ssize_t n = read(readEnd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        message.append(buf, static_cast<size_t>(n));
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    uint32_t code = 0;
    if (message.size() >= sizeof code) {
        std::memcpy(&code, message.data(), sizeof code);
        throw SvcError(code, message.substr(sizeof code));
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        Fail(ERROR_PROCESS_ABORTED, "the check of what " + account.name + " may do ended early");
}
