// svcctl start / run.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "commands.h"
#include "descriptors.h"
#include "error.h"
#include "file_io.h"
#include "outcome.h"
#include "program_launch.h"
#include "progress_clock.h"
#include "status_reader.h"
#include "supervisor.h"
#include "unix_socket.h"

namespace {

// How long the supervising process may take to answer at all, and to exit
// once the service has stopped.
constexpr std::chrono::seconds kAnswerTimeout{10};
constexpr std::chrono::seconds kExitTimeout{30};

[[noreturn]] void RunDetached(SupervisorSetup setup)
{
    setsid();
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        if (null > STDERR_FILENO)
            close(null);
    }
    CloseInheritedDescriptors();
    int status = 1;
    if (chdir("/") == 0) {
        try {
            status = Supervise(std::move(setup));
        } catch (const std::exception &) {
            status = 1; // nobody to tell: the starter sees the socket close
        }
    }
    _exit(status);
}

// The supervising process can be done before this process hears from it, as
// when the program cannot run at all; its history then tells how the start
// ended, so the answer does not depend on who was quicker.
[[noreturn]] void FailFromHistory(const ServiceDir &dir, const std::string &otherwise)
{
    std::vector<ServiceRecord> history = dir.History();
    if (history.empty() || history.back().state != kStateStopped)
        Fail(kErrorProcessAborted, otherwise);
    bool reachedRunning = false;
    for (const ServiceRecord &record : history)
        reachedRunning = reachedRunning || record.state == kStateRunning;
    throw StopError(history.back(), reachedRunning, dir.Program());
}

// Follows the new service's reports until it runs, stops, or stalls.
int WaitForStart(const ServiceDir &dir)
{
    UniqueFd conn = ConnectTo(dir.SocketPath());
    if (!conn || !WriteAll(conn.get(), "WATCH\n"))
        FailFromHistory(dir, "the supervising process ended at once");
    LineReader reader(conn.get());
    ProgressClock clock;
    Reply reply;
    Got got = NextReply(reader, Clock::now() + kAnswerTimeout, reply);
    if (got == Got::kTimedOut)
        Fail(kErrorServiceRequestTimeout, "the supervising process does not answer");
    for (;;) {
        if (got == Got::kTimedOut)
            throw StallError(reply.record);
        if (got == Got::kClosed)
            FailFromHistory(dir, "the supervising process ended unexpectedly");
        if (reply.error != 0)
            Fail(reply.error);
        clock.Observe(reply.record);
        if (reply.record.state == kStateRunning) {
            std::fputs(FormatQuery(dir.name(), reply.record, reply.pid).c_str(), stdout);
            return 0;
        }
        if (reply.record.state == kStateStopped) {
            WaitForClose(reader, kExitTimeout); // its last words are in its log by then
            throw StopError(reply.record, false, dir.Program());
        }
        got = NextReply(reader, clock.Deadline(), reply);
    }
}

} // namespace

int StartService(const std::string &name, bool foreground)
{
    ServiceStore store = ServiceStore::Open();
    ServiceDir dir = store.Find(name);
    SupervisorSetup setup;
    setup.dir = &dir;
    setup.program = dir.Program();
    CheckProgram(setup.program);
    setup.lock = dir.TryLock();
    if (!setup.lock)
        Fail(kErrorServiceAlreadyRunning);
    setup.history = dir.StartHistory();
    dir.RemoveSocket(); // left by a supervising process that was killed
    setup.listener = ListenAt(dir.SocketPath());
    setup.foreground = foreground;
    // The program finds its files under the same root whatever its directory.
    setenv("W32_ROOT", W32Root().c_str(), 1);

    if (foreground)
        return Supervise(std::move(setup));

    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid < 0)
        FailErrno("cannot start the supervising process");
    if (pid == 0)
        RunDetached(std::move(setup));
    setup = SupervisorSetup(); // the supervising process holds them now
    return WaitForStart(dir);
}
