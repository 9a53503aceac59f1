#include "supervisor.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <vector>

#include "platform/posix/layer_errors.h"
#include "platform/posix/service_channel.h"
#include "platform/posix/unique_fd.h"
#include "control_wire.h"
#include "program_launch.h"
#include "systemd_notify.h"

using w32::UniqueFd;
using Clock = std::chrono::steady_clock;

namespace {

class Supervisor {
public:
    explicit Supervisor(SupervisorSetup setup);
    int Run();

private:
    struct Client {
        UniqueFd fd;
        std::string request;
        bool watching = false;
        bool awaitingControl = false;
    };
    static constexpr uint64_t kOwnControl = 0; // a stop the supervisor itself sent

    // The program's side: its channel, its signals and its timers.
    void Launch();
    void ReadChannel();
    void OnMessage(const ChannelMessage &m);
    void Record(const ServiceRecord &record);
    void RecordAbnormalStop(uint32_t win32ExitCode);
    bool SendControl(uint32_t code);
    void MaybeSendStop();
    void OnSignal();
    void CheckTimers();
    void Finish();
    long Pid() const { return exited_ ? 0 : program_.pid; }

    // svcctl's side: the control socket's clients.
    void AcceptClients();
    void ReadClient(uint64_t id);
    void HandleRequest(uint64_t id, const std::string &request);
    void AnswerControl(uint64_t id, uint32_t result);
    void AnswerPendingControls();
    void Broadcast(const std::string &line);
    bool SendTo(Client &client, const std::string &line);
    void Drop(uint64_t id);

    SupervisorSetup setup_;
    sigset_t originalMask_;
    UniqueFd signals_;
    LaunchedProgram program_;
    bool channelOpen_ = false;

    ServiceRecord current_;
    bool reported_ = false;
    bool reachedRunning_ = false;
    bool stopped_ = false;
    bool stoppedByService_ = false;
    bool exited_ = false;
    bool killed_ = false;
    uint32_t killReason_ = 0;
    bool stopWanted_ = false;
    bool stopSent_ = false;
    Clock::time_point connectDeadline_;
    Clock::time_point exitDeadline_;

    ProgressClock startClock_; // svcctl run only: to say when a start stalls
    bool stallReported_ = false;
    SystemdNotifier notifier_;

    std::map<uint64_t, Client> clients_;
    uint64_t nextClientId_ = 1;
    std::deque<uint64_t> awaitingAck_;
};

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

constexpr size_t kMaxClients = 64;
constexpr size_t kMaxRequest = 64;

// 0 when code may be sent to a service in the state current describes;
// otherwise the error the request is refused with.
uint32_t ControlRefusal(uint32_t code, const ServiceRecord &current)
{
    if (current.state == SERVICE_STOPPED)
        return ERROR_SERVICE_NOT_ACTIVE;

    uint32_t needs = 0;
    if (code == SERVICE_CONTROL_INTERROGATE || (code >= 128 && code <= 255))
        return 0; // always delivered
    if (code == SERVICE_CONTROL_STOP)
        needs = SERVICE_ACCEPT_STOP;
    else if (code == SERVICE_CONTROL_PAUSE || code == SERVICE_CONTROL_CONTINUE)
        needs = SERVICE_ACCEPT_PAUSE_CONTINUE;
    else if (code == SERVICE_CONTROL_PARAMCHANGE)
        needs = SERVICE_ACCEPT_PARAMCHANGE;
    else if (code >= SERVICE_CONTROL_NETBINDADD && code <= SERVICE_CONTROL_NETBINDDISABLE)
        needs = SERVICE_ACCEPT_NETBINDCHANGE;
    else
        return ERROR_INVALID_PARAMETER; // shutdown and the rest are the system's alone

    if ((current.controlsAccepted & needs) == 0)
        return ERROR_INVALID_SERVICE_CONTROL;
    return 0;
}

} // namespace

int Supervise(SupervisorSetup setup)
{
    return Supervisor(std::move(setup)).Run();
}

Supervisor::Supervisor(SupervisorSetup setup)
    : setup_(std::move(setup)), notifier_(setup_.foreground)
{
    // Until the program's first report the service is starting, and has the
    // time a program gets to connect.
    current_.state = SERVICE_START_PENDING;
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

    program_ = LaunchProgram(setup_.program, setup_.checked,
                             setup_.account ? &*setup_.account : nullptr, originalMask_);
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
        if (record.state < SERVICE_STOPPED || record.state > SERVICE_PAUSED)
            return;
        reported_ = true;
        if (record.state == SERVICE_STOPPED && !stopped_)
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
            RecordAbnormalStop(ERROR_PROCESS_ABORTED);
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
    ServiceDir::AppendHistory(setup_.history.get(), record);
    Broadcast(StatusLine(Pid(), record));
    notifier_.Report(record, Pid());

    if (setup_.foreground && !reachedRunning_)
        startClock_.Observe(record);
    if (record.state == SERVICE_RUNNING && !reachedRunning_) {
        reachedRunning_ = true;
        if (setup_.foreground) {
            std::printf("svcctl: \"%s\" is running (pid %ld)\n", setup_.dir->name().c_str(),
                        Pid());
            std::fflush(stdout);
        }
    }
    if (record.state == SERVICE_STOPPED && !stopped_) {
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
    record.state = SERVICE_STOPPED;
    record.win32ExitCode = win32ExitCode;
    Record(record);
}

bool Supervisor::SendControl(uint32_t code)
{
    ChannelMessage m = {kChannelControl, {code}};
    bool sent = channelOpen_ &&
                send(program_.channel.get(), &m, sizeof m, MSG_NOSIGNAL | MSG_DONTWAIT) ==
                    static_cast<ssize_t>(sizeof m);
    if (sent && code == SERVICE_CONTROL_STOP)
        notifier_.Stopping();
    return sent;
}

// A stop asked for by a signal waits until the service accepts one.
void Supervisor::MaybeSendStop()
{
    if (stopWanted_ && !stopSent_ && !stopped_ && (current_.controlsAccepted & SERVICE_ACCEPT_STOP) &&
        SendControl(SERVICE_CONTROL_STOP)) {
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
            uint32_t code = program_.execError != 0 ? w32::error_from_errno(program_.execError)
                            : killed_              ? killReason_
                                                   : ERROR_PROCESS_ABORTED;
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
        killReason_ = ERROR_SERVICE_REQUEST_TIMEOUT;
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

void Supervisor::AcceptClients()
{
    for (;;) {
        UniqueFd fd(accept4(setup_.listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd)
            return; // EAGAIN, or a connection that vanished
        if (!PeerIsTrusted(fd.get()) || clients_.size() >= kMaxClients)
            continue;
        clients_[nextClientId_++].fd = std::move(fd);
    }
}

void Supervisor::ReadClient(uint64_t id)
{
    auto it = clients_.find(id);
    if (it == clients_.end())
        return;
    Client &client = it->second;
    char buf[128];
    ssize_t n = recv(client.fd.get(), buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (n <= 0) {
        Drop(id);
        return;
    }
    if (client.watching || client.awaitingControl)
        return; // nothing more is expected from them
    client.request.append(buf, static_cast<size_t>(n));
    size_t end = client.request.find('\n');
    if (end == std::string::npos) {
        if (client.request.size() > kMaxRequest)
            Drop(id);
        return;
    }
    HandleRequest(id, client.request.substr(0, end));
}

void Supervisor::HandleRequest(uint64_t id, const std::string &request)
{
    Client &client = clients_[id];
    uint32_t code = 0;
    if (request == kQueryRequest) {
        SendTo(client, StatusLine(Pid(), current_));
        Drop(id);
    } else if (request == kWatchRequest) {
        client.watching = SendTo(client, StatusLine(Pid(), current_));
        if (!client.watching)
            Drop(id);
    } else if (ParseControlRequest(request, code)) {
        uint32_t refusal = !channelOpen_ || exited_ ? ERROR_SERVICE_NOT_ACTIVE
                                                     : ControlRefusal(code, current_);
        if (refusal == 0 && !SendControl(code))
            refusal = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
        if (refusal != 0) {
            SendTo(client, ErrorLine(refusal));
            Drop(id);
            return;
        }
        client.awaitingControl = true;
        awaitingAck_.push_back(id);
    } else {
        SendTo(client, ErrorLine(ERROR_INVALID_PARAMETER));
        Drop(id);
    }
}

// The answer to a control is the status that stands once the handler has
// returned; the client then hears of every later report.
void Supervisor::AnswerControl(uint64_t id, uint32_t result)
{
    auto it = clients_.find(id);
    if (it == clients_.end())
        return;
    Client &client = it->second;
    client.awaitingControl = false;
    if (result != 0) {
        SendTo(client, ErrorLine(result));
        Drop(id);
    } else if (SendTo(client, StatusLine(Pid(), current_))) {
        client.watching = true;
    } else {
        Drop(id);
    }
}

// Controls the program can no longer acknowledge: their clients get the
// status as it stands.
void Supervisor::AnswerPendingControls()
{
    std::deque<uint64_t> pending;
    pending.swap(awaitingAck_);
    for (uint64_t id : pending) {
        if (id != kOwnControl)
            AnswerControl(id, 0);
    }
}

void Supervisor::Broadcast(const std::string &line)
{
    std::vector<uint64_t> gone;
    for (auto &[id, client] : clients_) {
        if (client.watching && !SendTo(client, line))
            gone.push_back(id);
    }
    for (uint64_t id : gone)
        Drop(id);
}

// Watchers that do not keep up are dropped rather than waited for.
bool Supervisor::SendTo(Client &client, const std::string &line)
{
    ssize_t n = send(client.fd.get(), line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return n == static_cast<ssize_t>(line.size());
}

void Supervisor::Drop(uint64_t id)
{
    clients_.erase(id);
}
