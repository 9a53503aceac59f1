#include "program_launch.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/posix/layer_errors.h"
#include "platform/posix/machine_root.h"
#include "platform/posix/service_channel.h"
#include "platform/posix/trust.h"
#include "platform/posix/unique_fd.h"
#include "status_output.h"

using w32::UniqueFd;

void CheckProgram(const std::string &program)
{
    struct stat st;
    if (stat(program.c_str(), &st) != 0)
        FailErrno("cannot run " + program);
    if (!S_ISREG(st.st_mode))
        Fail(ERROR_ACCESS_DENIED, program + " is not a regular file");
    if (access(program.c_str(), X_OK) != 0) {
        // stat reached the file, so a refusal comes from the file's own mode.
        if (errno == EACCES)
            Fail(ERROR_BAD_EXE_FORMAT, program + " is not executable: it has no execute permission");
        FailErrno("cannot run " + program);
    }
}

std::string DescribeDistrust(const w32::TrustVerdict &verdict, const std::string &whom)
{
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(verdict.mode));
    switch (verdict.reason) {
    case w32::TrustVerdict::ForeignOwner:
        return "belongs to " + DescribeUid(verdict.owner) + ", not to " + whom;
    case w32::TrustVerdict::GroupWritable: {
        const group *entry = getgrgid(verdict.group);
        std::string name = "group " + std::to_string(verdict.group) +
                           (entry ? std::string(" (") + entry->gr_name + ")" : "");
        return "may be written by " + name + " (g+w, mode " + mode + ")";
    }
    case w32::TrustVerdict::OthersWritable:
        return std::string("may be written by every account (o+w, mode ") + mode + ")";
    case w32::TrustVerdict::Trusted:
        break;
    }
    return "is trusted";
}

namespace {

// The interpreter a #! line names, or empty for a file without one.
std::string InterpreterOf(int fd)
{
    UniqueFd file(open(w32::descriptor_path(fd).c_str(), O_RDONLY | O_CLOEXEC));
    char head[256];
    ssize_t n = file ? pread(file.get(), head, sizeof head, 0) : -1;
    if (n < 2 || head[0] != '#' || head[1] != '!')
        return std::string();
    std::string line(head + 2, static_cast<size_t>(n - 2));
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos)
        return "/"; // a script with no interpreter: exec refuses it
    return line.substr(start, line.find_first_of(" \t\n", start) - start);
}

// Refuses path unless its every step passes for runsAs; fills fd with it, or
// leaves fd empty with errno set when the path leads to no file.
void OpenChecked(const std::string &path, uid_t runsAs, const std::string &whom,
                 const std::string &program, UniqueFd *fd)
{
    w32::UntrustedStep step;
    if (w32::open_trusted_path(path, runsAs, fd, &step))
        return;
    if (errno != EACCES || step.path.empty())
        return;
    Fail(ERROR_ACCESS_DENIED,
         step.path + " " + DescribeDistrust(step.verdict, whom) + ", so another account could " +
             (path == program ? "replace " + program
                              : "replace " + path + ", the interpreter of " + program));
}

} // namespace

CheckedProgram OpenCheckedProgram(const std::string &program, uid_t runsAs,
                                  const std::string &whom)
{
    CheckedProgram checked;
    OpenChecked(program, runsAs, whom, program, &checked.fd);
    if (!checked.fd)
        return checked;
    int err = errno;
    struct stat st;
    if (fstat(checked.fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return checked; // no program: CheckProgram says so
    std::string interpreter = InterpreterOf(checked.fd.get());
    checked.script = !interpreter.empty();
    if (checked.script) {
        UniqueFd ignored; // exec finds what the interpreter's path leads to
        OpenChecked(interpreter, runsAs, whom, program, &ignored);
    }
    errno = err;
    return checked;
}

namespace {

// The program's environment: the caller's without svcctl's own notification
// socket, or, for a service with an account of its own, one made for the
// account; with the machine root and the channel either way.
std::vector<std::string> ProgramEnvironment(const Account *account, int channel)
{
    std::vector<std::string> env;
    if (account) {
        env = AccountEnvironment(*account);
        env.push_back("W32_ROOT=" + w32::machine_root_path());
    } else {
        for (char **e = environ; *e; ++e) {
            std::string entry = *e;
            if (entry.rfind("NOTIFY_SOCKET=", 0) != 0 &&
                entry.rfind(std::string(kChannelVariable) + "=", 0) != 0)
                env.push_back(entry);
        }
    }
    env.push_back(std::string(kChannelVariable) + "=" + std::to_string(channel));
    return env;
}

// In the child: errno goes to the manager, which then knows the program
// never ran.
[[noreturn]] void ReportFailure(int errorPipe)
{
    int err = errno;
    ssize_t n = write(errorPipe, &err, sizeof err);
    (void)n;
    _exit(127);
}

[[noreturn]] void RunChild(const std::string &program, const CheckedProgram &checked,
                           const Account *account, std::vector<std::string> env, int channel,
                           int errorPipe, const sigset_t &childMask)
{
    setpgid(0, 0); // terminal and group signals go to svcctl, which relays a stop
    CloseInheritedDescriptors();
    fcntl(channel, F_SETFD, 0);
    // A script's interpreter opens it as /dev/fd/N, which must outlive the exec.
    if (checked.script)
        fcntl(checked.fd.get(), F_SETFD, 0);
    // An account of its own: nothing the caller may reach stays within the
    // program's reach, not even through its working directory.
    if (account && (BecomeAccount(*account) != nullptr || chdir("/") != 0))
        ReportFailure(errorPipe);
    // What it makes, its log first, is its own and its group's, whoever it
    // runs as.
    umask(027);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGCHLD, SIGPIPE})
        signal(sig, SIG_DFL);
    sigprocmask(SIG_SETMASK, &childMask, nullptr);
    std::vector<char *> envp;
    for (std::string &entry : env)
        envp.push_back(&entry[0]);
    envp.push_back(nullptr);
    char *argv[] = {const_cast<char *>(program.c_str()), nullptr};
    fexecve(checked.fd.get(), argv, envp.data());
    ReportFailure(errorPipe);
}

} // namespace

LaunchedProgram LaunchProgram(const std::string &program, const CheckedProgram &checked,
                              const Account *account, const sigset_t &childMask)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        FailErrno("cannot create the service's channel");
    LaunchedProgram launched;
    launched.channel.reset(pair[0]);
    UniqueFd programEnd(pair[1]);

    int errorPipe[2];
    if (pipe2(errorPipe, O_CLOEXEC) != 0)
        FailErrno("cannot create a pipe");
    UniqueFd errorRead(errorPipe[0]);
    UniqueFd errorWrite(errorPipe[1]);

    std::vector<std::string> env = ProgramEnvironment(account, programEnd.get());
    launched.pid = fork();
    if (launched.pid < 0)
        FailErrno("cannot start " + program);
    if (launched.pid == 0)
        RunChild(program, checked, account, std::move(env), programEnd.get(), errorWrite.get(),
                 childMask);

    setpgid(launched.pid, launched.pid); // whichever of the two runs first
    errorWrite.reset();
    int err = 0;
    ssize_t n;
    do
        n = read(errorRead.get(), &err, sizeof err);
    while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof err))
        launched.execError = err;
    return launched;
}

void CloseInheritedDescriptors()
{
    std::vector<int> inherited;
    if (DIR *dir = opendir("/proc/self/fd")) {
        int own = dirfd(dir);
        while (dirent *e = readdir(dir)) {
            int fd = std::atoi(e->d_name);
            if (e->d_name[0] == '.' || fd <= 2 || fd == own)
                continue;
            int flags = fcntl(fd, F_GETFD);
            if (flags >= 0 && (flags & FD_CLOEXEC) == 0)
                inherited.push_back(fd);
        }
        closedir(dir);
    }
    for (int fd : inherited)
        close(fd);
}

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
