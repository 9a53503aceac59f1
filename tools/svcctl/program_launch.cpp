#include "program_launch.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/posix/layer_shared.h"
#include "status_output.h"

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

[[noreturn]] void RunChild(const std::string &program, const Account *account,
                           std::vector<std::string> env, int channel, int errorPipe,
                           const sigset_t &childMask)
{
    setpgid(0, 0); // terminal and group signals go to svcctl, which relays a stop
    CloseInheritedDescriptors();
    fcntl(channel, F_SETFD, 0);
    // An account of its own: nothing the caller may reach stays within the
    // program's reach, not even through its working directory, and what it
    // makes is its own and its group's.
    if (account) {
        if (BecomeAccount(*account) != nullptr || chdir("/") != 0)
            ReportFailure(errorPipe);
        umask(027);
    }
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGCHLD, SIGPIPE})
        signal(sig, SIG_DFL);
    sigprocmask(SIG_SETMASK, &childMask, nullptr);
    std::vector<char *> envp;
    for (std::string &entry : env)
        envp.push_back(&entry[0]);
    envp.push_back(nullptr);
    char *argv[] = {const_cast<char *>(program.c_str()), nullptr};
    execve(program.c_str(), argv, envp.data());
    ReportFailure(errorPipe);
}

} // namespace

LaunchedProgram LaunchProgram(const std::string &program, const Account *account,
                              const sigset_t &childMask)
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
        RunChild(program, account, std::move(env), programEnd.get(), errorWrite.get(), childMask);

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
