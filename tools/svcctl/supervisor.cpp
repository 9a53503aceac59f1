#include "supervisor.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/posix/layer_shared.h"
#include "error.h"
#include "file_io.h"
#include "outcome.h"
#include "supervisor_state.h"

namespace {

// A program that never reports is no service: it is ended after this long,
// as the manager ends one that never connects.
constexpr std::chrono::seconds kConnectTimeout{30};
// A program that has reported SERVICE_STOPPED has this long to exit.
constexpr std::chrono::seconds kExitGrace{20};

int MillisecondsUntil(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(0, std::min<long long>(left.count(), 60000)));
}

} // namespace

int Supervise(SupervisorSetup setup)
{
    return Supervisor(std::move(setup)).Run();
}

Supervisor::Supervisor(SupervisorSetup setup) : setup_(std::move(setup))
{
    // Until the program's first report the service is starting, and has the
    // time a program gets to connect.
    current_.state = kStateStartPending;
    current_.waitHint = std::chrono::milliseconds(kConnectTimeout).count();
}

void Supervisor::Launch()
{
    sigset_t handled;
    sigemptyset(&handled);
    for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGHUP})
        sigaddset(&handled, sig);
    sigprocmask(SIG_BLOCK, &handled, &originalMask_);
    signals_.reset(signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!signals_)
        FailErrno("cannot watch signals");

    program_ = LaunchProgram(setup_.program, originalMask_);
    channelOpen_ = true;
    connectDeadline_ = Clock::now() + kConnectTimeout;
    if (setup_.foreground)
        startClock_.Observe(current_);
}

int Supervisor::Run()
{
    Launch();
    while (!exited_) {
        std::vector<pollfd> fds = {{signals_.get(), POLLIN, 0},
                                   {setup_.listener.get(), POLLIN, 0},
                                   {channelOpen_ ? program_.channel.get() : -1, POLLIN, 0}};
        std::vector<uint64_t> ids;
        for (auto &[id, client] : clients_) {
            fds.push_back({client.fd.get(), POLLIN, 0});
            ids.push_back(id);
        }

        int timeout = -1;
        if (!reported_ && !killed_)
            timeout = MillisecondsUntil(connectDeadline_);
        if (stopped_ && !killed_)
            timeout = MillisecondsUntil(exitDeadline_);
        if (setup_.foreground && !reachedRunning_ && !stopped_ && !stallReported_) {
            int stall = MillisecondsUntil(startClock_.Deadline());
            timeout = timeout < 0 ? stall : std::min(timeout, stall);
        }

        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR)
            FailErrno("poll");
        if (fds[2].revents != 0)
            ReadChannel();
        if (fds[0].revents != 0)
            OnSignal();
        if (fds[1].revents != 0)
            AcceptClients();
        for (size_t i = 0; i < ids.size(); i++) {
            if (fds[3 + i].revents != 0)
                ReadClient(ids[i]);
        }
        CheckTimers();
    }
    Finish();
    return reachedRunning_ && stoppedByService_ && current_.win32ExitCode == 0 &&
                   current_.serviceExitCode == 0
               ? 0
               : 1;
}

void Supervisor::ReadChannel()
{
    while (channelOpen_) {
        ChannelMessage m;
        ssize_t n = recv(program_.channel.get(), &m, sizeof m, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n <= 0) {
            channelOpen_ = false;
            AnswerPendingControls();
            return;
        }
        if (n == static_cast<ssize_t>(sizeof m))
            OnMessage(m);
    }
}

void Supervisor::OnMessage(const ChannelMessage &m)
{
    switch (m.kind) {
    case kChannelStatus: {
        ServiceRecord record = ServiceRecord::FromWords(m.value);
        if (record.state < kStateStopped || record.state > kStatePaused)
            return;
        reported_ = true;
        if (record.state == kStateStopped && !stopped_)
            stoppedByService_ = true;
        Record(record);
        return;
    }
    case kChannelControlDone:
        if (!awaitingAck_.empty()) {
            uint64_t id = awaitingAck_.front();
            awaitingAck_.pop_front();
            if (id != kOwnControl)
                AnswerControl(id, m.value[1]);
        }
        return;
    case kChannelMainReturned:
        if (!stopped_)
            RecordAbnormalStop(kErrorProcessAborted);
        return;
    default:
        return;
    }
}

void Supervisor::Record(const ServiceRecord &record)
{
    current_ = record;
    // A history that cannot be written (a full disk) must not stop the
    // service: the record still reaches every watcher.
    WriteAll(setup_.history.get(), FormatRecordWords(record) + "\n");
    Broadcast(StatusLine(Pid(), record));

    if (setup_.foreground && !reachedRunning_)
        startClock_.Observe(record);
    if (record.state == kStateRunning && !reachedRunning_) {
        reachedRunning_ = true;
        if (setup_.foreground) {
            std::printf("svcctl: \"%s\" is running (pid %ld)\n", setup_.dir->name().c_str(),
                        Pid());
            std::fflush(stdout);
        }
    }
    if (record.state == kStateStopped && !stopped_) {
        stopped_ = true;
        exitDeadline_ = Clock::now() + kExitGrace;
    }
    MaybeSendStop();
}

// Recorded for the service when it ends without saying so, as the manager
// does for a service whose process died.
void Supervisor::RecordAbnormalStop(uint32_t win32ExitCode)
{
    ServiceRecord record;
    record.type = current_.type;
    record.state = kStateStopped;
    record.win32ExitCode = win32ExitCode;
    Record(record);
}

bool Supervisor::SendControl(uint32_t code)
{
    ChannelMessage m = {kChannelControl, {code}};
    return channelOpen_ &&
           send(program_.channel.get(), &m, sizeof m, MSG_NOSIGNAL | MSG_DONTWAIT) ==
               static_cast<ssize_t>(sizeof m);
}

// A stop asked for by a signal waits until the service accepts one.
void Supervisor::MaybeSendStop()
{
    if (stopWanted_ && !stopSent_ && !stopped_ && (current_.controlsAccepted & kAcceptStop) &&
        SendControl(kControlStop)) {
        awaitingAck_.push_back(kOwnControl);
        stopSent_ = true;
    }
}

void Supervisor::OnSignal()
{
    signalfd_siginfo info;
    while (read(signals_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo != SIGCHLD) {
            stopWanted_ = true;
            MaybeSendStop();
            continue;
        }
        int status = 0;
        if (exited_ || waitpid(program_.pid, &status, WNOHANG) != program_.pid)
            continue;
        ReadChannel(); // its last reports were sent before it exited
        exited_ = true;
        if (!stopped_) {
            uint32_t code = program_.execError != 0 ? ErrorFromErrno(program_.execError)
                            : killed_              ? killReason_
                                                   : kErrorProcessAborted;
            RecordAbnormalStop(code);
        }
    }
}

void Supervisor::CheckTimers()
{
    auto now = Clock::now();
    bool neverConnected = !reported_ && now >= connectDeadline_;
    bool lingering = stopped_ && now >= exitDeadline_;
    if (!exited_ && !killed_ && (neverConnected || lingering)) {
        killed_ = true;
        killReason_ = kErrorServiceRequestTimeout;
        kill(-program_.pid, SIGKILL);
        kill(program_.pid, SIGKILL);
    }
    if (setup_.foreground && !reachedRunning_ && !stopped_ && !stallReported_ &&
        now >= startClock_.Deadline()) {
        stallReported_ = true;
        std::fprintf(stderr, "%s\n",
                     FormatFailure("run", setup_.dir->name(), StallError(current_)).c_str());
    }
}

void Supervisor::Finish()
{
    AnswerPendingControls();
    // The socket goes before the lock, so a new start never finds ours; the
    // lock goes before the watchers hear the end, so a start right after a
    // stop finds the service free.
    setup_.dir->RemoveSocket();
    setup_.listener.reset();
    setup_.history.reset();
    setup_.lock.reset();
    clients_.clear();
    if (!setup_.foreground)
        return;
    if (reachedRunning_ && stoppedByService_ && current_.win32ExitCode == 0 &&
        current_.serviceExitCode == 0) {
        std::printf("svcctl: \"%s\" stopped\n", setup_.dir->name().c_str());
        std::fflush(stdout);
    } else {
        SvcError error = StopError(current_, reachedRunning_, setup_.program);
        std::fprintf(stderr, "%s\n", FormatFailure("run", setup_.dir->name(), error).c_str());
    }
}
