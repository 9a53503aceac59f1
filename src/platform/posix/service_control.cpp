// Service control: the dispatcher that connects a service program to the
// manager that started it (svcctl), and the status and control traffic between
// them (StartServiceCtrlDispatcherA, RegisterServiceCtrlHandlerA,
// SetServiceStatus).
//
// The manager hands the program one end of a SOCK_SEQPACKET socket pair, its
// descriptor number in W32_SERVICE_CHANNEL_FD. Each message either way is one
// record of eight 32-bit words in host order: a kind, then seven values.
//   program -> manager: STATUS      the seven fields of SERVICE_STATUS
//                       CONTROL_DONE code, result (0, or why it was not run)
//                       MAIN_RETURNED the service's main function returned
//                                     without reporting SERVICE_STOPPED
//   manager -> program: CONTROL     code
// service_channel.h declares the layout, for svcctl too.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/posix/internal.h"
#include "platform/posix/service_channel.h"

namespace w32 {
namespace {

// The one service this process runs. Never freed once published: the
// service thread may still use it after the dispatcher has returned and main
// is running the process's exit.
struct Dispatcher {
    UniqueFd channel;
    UniqueFd wake_read; // the service thread's news for the dispatcher loop
    UniqueFd wake_write;
    std::string name;
    LPSERVICE_MAIN_FUNCTIONA service_main = nullptr;
    std::atomic<LPHANDLER_FUNCTION> handler{nullptr};

    // Guards the fields below and keeps reports whole and in order.
    std::mutex lock;
    DWORD controls_accepted = 0;
    bool stopped = false;
    bool main_returned = false;
};

std::atomic<Dispatcher *> g_dispatcher{nullptr};
std::atomic<bool> g_dispatcher_started{false};

SERVICE_STATUS_HANDLE handle_of(Dispatcher *d)
{
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(d);
}

bool send_record(int fd, uint32_t kind, const uint32_t *values, size_t count)
{
    ChannelMessage m = {};
    m.kind = kind;
    for (size_t i = 0; i < count && i < 7; i++)
        m.value[i] = values[i];
    ssize_t n;
    do
        n = send(fd, &m, sizeof m, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return n == ssize_t(sizeof m);
}

void wake(Dispatcher *d)
{
    char byte = 1;
    // A full pipe already holds a wake-up, so a failed write loses nothing.
    ssize_t n = write(d->wake_write.get(), &byte, 1);
    (void)n;
}

// Reads the inherited channel's number and checks it really is a local
// sequenced-packet socket; the variable is removed either way, so programs
// this service starts do not take a stale number for their own.
UniqueFd take_channel_from_environment()
{
    const char *text = getenv(kChannelVariable);
    if (text == nullptr)
        return UniqueFd();
    std::string copy = text;
    unsetenv(kChannelVariable);

    char *end = nullptr;
    errno = 0;
    long number = strtol(copy.c_str(), &end, 10);
    if (copy.empty() || *end != '\0' || errno != 0 || number < 0 || number > INT32_MAX)
        return UniqueFd();
    const int fd = int(number);

    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode))
        return UniqueFd();
    int type = 0, domain = 0;
    socklen_t len = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_SEQPACKET)
        return UniqueFd();
    len = sizeof domain;
    if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0 || domain != AF_UNIX)
        return UniqueFd();

    fcntl(fd, F_SETFD, FD_CLOEXEC);
    return UniqueFd(fd);
}

void run_service(Dispatcher *d)
{
    char *argv[2] = {&d->name[0], nullptr};
    d->service_main(1, argv);
    {
        std::lock_guard<std::mutex> lock(d->lock);
        d->main_returned = true;
    }
    wake(d);
}

// The state of the dispatcher loop, owned by the dispatcher thread.
struct LoopState {
    bool channel_open = true;
    bool stop_wanted = false; // a signal or the manager's loss asks for a stop
    bool stop_delivered = false;
};

void run_control(Dispatcher *d, LoopState &s, DWORD code)
{
    LPHANDLER_FUNCTION handler = d->handler.load();
    uint32_t result = 0;
    if (handler == nullptr) {
        result = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    } else {
        if (code == SERVICE_CONTROL_STOP)
            s.stop_delivered = true;
        handler(code);
    }
    uint32_t done[2] = {code, result};
    if (s.channel_open)
        send_record(d->channel.get(), kChannelControlDone, done, 2);
}

void read_channel(Dispatcher *d, LoopState &s)
{
    ChannelMessage m;
    ssize_t n = recv(d->channel.get(), &m, sizeof m, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (n <= 0) {
        // The manager is gone: nobody is left to stop the service, so it
        // stops itself.
        s.channel_open = false;
        s.stop_wanted = true;
        return;
    }
    if (n == ssize_t(sizeof m) && m.kind == kChannelControl)
        run_control(d, s, m.value[0]);
}

void drain_signals(int sigfd, LoopState &s)
{
    signalfd_siginfo info;
    while (read(sigfd, &info, sizeof info) == ssize_t(sizeof info))
        s.stop_wanted = true;
}

void drain_wake(int fd)
{
    char bytes[64];
    while (read(fd, bytes, sizeof bytes) > 0) {
    }
}

// Runs controls on this thread until the service has reported SERVICE_STOPPED,
// or its main function has returned without doing so.
void dispatch_until_stopped(Dispatcher *d, int sigfd)
{
    LoopState s;
    for (;;) {
        bool stopped, main_returned, accepts_stop;
        {
            std::lock_guard<std::mutex> lock(d->lock);
            stopped = d->stopped;
            main_returned = d->main_returned;
            accepts_stop = (d->controls_accepted & SERVICE_ACCEPT_STOP) != 0;
            if (!stopped && main_returned && s.channel_open)
                send_record(d->channel.get(), kChannelMainReturned, nullptr, 0);
        }
        if (stopped || main_returned)
            return;

        // A stop asked for by a signal or by the manager's loss waits until
        // the service accepts one, so it never races the service's start.
        LPHANDLER_FUNCTION handler = d->handler.load();
        if (s.stop_wanted && !s.stop_delivered && accepts_stop && handler != nullptr) {
            s.stop_delivered = true;
            handler(SERVICE_CONTROL_STOP);
            continue;
        }

        pollfd fds[3] = {{sigfd, POLLIN, 0}, {d->wake_read.get(), POLLIN, 0}, {-1, POLLIN, 0}};
        if (s.channel_open)
            fds[2].fd = d->channel.get();
        if (poll(fds, 3, -1) < 0)
            continue; // EINTR; nothing else can fail on these descriptors
        if (fds[0].revents != 0)
            drain_signals(sigfd, s);
        if (fds[1].revents != 0)
            drain_wake(d->wake_read.get());
        if (fds[2].revents != 0)
            read_channel(d, s);
    }
}

bool table_is_usable(const SERVICE_TABLE_ENTRYA *table)
{
    return table != nullptr && table[0].lpServiceName != nullptr &&
           table[0].lpServiceName[0] != '\0' && table[0].lpServiceProc != nullptr;
}

} // namespace
} // namespace w32

using namespace w32;

extern "C" BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA *lpServiceStartTable)
{
    UniqueFd channel = take_channel_from_environment();
    if (!channel)
        return fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT); // started from a console
    if (!table_is_usable(lpServiceStartTable))
        return fail(ERROR_INVALID_PARAMETER);
    if (g_dispatcher_started.exchange(true))
        return fail(ERROR_SERVICE_ALREADY_RUNNING);

    auto d = std::make_unique<Dispatcher>();
    d->channel = std::move(channel);
    d->name = lpServiceStartTable[0].lpServiceName;
    d->service_main = lpServiceStartTable[0].lpServiceProc;
    int wake_pipe[2];
    if (pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    d->wake_read.reset(wake_pipe[0]);
    d->wake_write.reset(wake_pipe[1]);

    // SIGTERM and SIGINT become a stop control on this thread. They are
    // blocked before the service thread exists, so it and every thread it
    // starts inherit the block and none of them is ever interrupted. The mask
    // is the thread's own, so only pthread_sigmask can set it.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    UniqueFd sigfd(signalfd(-1, &stop_signals, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!sigfd)
        return fail(ERROR_TOO_MANY_OPEN_FILES);

    Dispatcher *dispatcher = d.release(); // kept for the life of the process
    g_dispatcher.store(dispatcher);
    try {
        std::thread(run_service, dispatcher).detach();
    } catch (const std::system_error &) {
        g_dispatcher.store(nullptr);
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }

    dispatch_until_stopped(dispatcher, sigfd.get());
    // The signals stay blocked: a late SIGTERM must not cut the process's own
    // orderly exit short.
    return TRUE;
}

extern "C" SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR lpServiceName,
                                                             LPHANDLER_FUNCTION lpHandlerProc)
{
    Dispatcher *d = g_dispatcher.load();
    if (d == nullptr || lpServiceName == nullptr || !same_name(lpServiceName, d->name)) {
        set_error(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    if (lpHandlerProc == nullptr) {
        set_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    d->handler.store(lpHandlerProc);
    return handle_of(d);
}

extern "C" BOOL SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus,
                                 LPSERVICE_STATUS lpServiceStatus)
{
    Dispatcher *d = g_dispatcher.load();
    if (d == nullptr || hServiceStatus != handle_of(d))
        return fail(ERROR_INVALID_HANDLE);
    if (lpServiceStatus == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    const SERVICE_STATUS &st = *lpServiceStatus;
    if (st.dwCurrentState < SERVICE_STOPPED || st.dwCurrentState > SERVICE_PAUSED)
        return fail(ERROR_INVALID_DATA); // a state no service can be in

    uint32_t record[7] = {st.dwServiceType,   st.dwCurrentState,
                          st.dwControlsAccepted, st.dwWin32ExitCode,
                          st.dwServiceSpecificExitCode, st.dwCheckPoint,
                          st.dwWaitHint};
    bool sent;
    {
        std::lock_guard<std::mutex> lock(d->lock);
        sent = send_record(d->channel.get(), kChannelStatus, record, 7);
        d->controls_accepted = st.dwControlsAccepted;
        if (st.dwCurrentState == SERVICE_STOPPED)
            d->stopped = true;
    }
    // The dispatcher looks again: the service may have stopped, or come to
    // accept a stop that a signal asked for earlier.
    wake(d);

    // The manager gone, the service still goes on to its stop.
    return sent ? TRUE : fail(ERROR_BROKEN_PIPE);
}
