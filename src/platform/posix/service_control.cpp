// Service control: the dispatcher that connects a service program to the
// manager that started it (svcctl), and the status and control traffic between
// them.
//
// The manager hands the program one end of a SOCK_SEQPACKET socket pair, its
// descriptor number in W32_SERVICE_CHANNEL_FD. Each message either way is one
// record of eight 32-bit words in host order: a kind, then seven values.
//   program -> manager: STATUS      the seven fields of SERVICE_STATUS
//                       CONTROL_DONE code, result (0, or why it was not run)
//                       MAIN_RETURNED the service's main function returned
//                                     without reporting SERVICE_STOPPED
//   manager -> program: CONTROL     code
// layer_shared.h declares the layout, for svcctl too.
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "platform/posix/layer_shared.h"

namespace {

const DWORD kErrorInvalidData = 13; // ERROR_INVALID_DATA: a state no service can be in

// The one service this process runs. Created once and never freed: the
// service thread may still use it after the dispatcher has returned and main
// is running the process's exit.
struct Dispatcher {
    int channel = -1;
    int wakeRead = -1;  // the service thread's news for the dispatcher loop
    int wakeWrite = -1;
    std::string name;
    LPSERVICE_MAIN_FUNCTIONA serviceMain = nullptr;
    std::atomic<LPHANDLER_FUNCTION> handler{nullptr};

    // Guards the fields below and keeps reports whole and in order.
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    DWORD controlsAccepted = 0;
    bool stopped = false;
    bool mainReturned = false;
};

std::atomic<Dispatcher *> theDispatcher{nullptr};
std::atomic<bool> dispatcherStarted{false};

SERVICE_STATUS_HANDLE HandleOf(Dispatcher *d)
{
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(d);
}

bool SendRecord(int fd, uint32_t kind, const uint32_t *values, size_t count)
{
    ChannelMessage m = {};
    m.kind = kind;
    for (size_t i = 0; i < count && i < 7; i++)
        m.value[i] = values[i];
    ssize_t n;
    do
        n = send(fd, &m, sizeof m, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return n == (ssize_t)sizeof m;
}

void Wake(Dispatcher *d)
{
    char byte = 1;
    // A full pipe already holds a wake-up, so a failed write loses nothing.
    ssize_t n = write(d->wakeWrite, &byte, 1);
    (void)n;
}

// Reads the inherited channel's number and checks it really is a local
// sequenced-packet socket; the variable is removed either way, so programs
// this service starts do not take a stale number for their own.
int TakeChannelFromEnvironment()
{
    const char *text = getenv(kChannelVariable);
    if (text == nullptr)
        return -1;
    std::string copy = text;
    unsetenv(kChannelVariable);

    char *end = nullptr;
    errno = 0;
    long fd = strtol(copy.c_str(), &end, 10);
    if (copy.empty() || *end != '\0' || errno != 0 || fd < 0 || fd > INT32_MAX)
        return -1;

    struct stat st;
    if (fstat((int)fd, &st) != 0 || !S_ISSOCK(st.st_mode))
        return -1;
    int type = 0, domain = 0;
    socklen_t len = sizeof type;
    if (getsockopt((int)fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_SEQPACKET)
        return -1;
    len = sizeof domain;
    if (getsockopt((int)fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0 || domain != AF_UNIX)
        return -1;

    fcntl((int)fd, F_SETFD, FD_CLOEXEC);
    return (int)fd;
}

void *ServiceThread(void *arg)
{
    Dispatcher *d = static_cast<Dispatcher *>(arg);
    char *argv[2] = {&d->name[0], nullptr};
    d->serviceMain(1, argv);

    pthread_mutex_lock(&d->lock);
    d->mainReturned = true;
    pthread_mutex_unlock(&d->lock);
    Wake(d);
    return nullptr;
}

// The state of the dispatcher loop, owned by the dispatcher thread.
struct LoopState {
    bool channelOpen = true;
    bool stopWanted = false;   // a signal or the manager's loss asks for a stop
    bool stopDelivered = false;
};

void RunControl(Dispatcher *d, LoopState &s, DWORD code)
{
    LPHANDLER_FUNCTION handler = d->handler.load();
    uint32_t result = 0;
    if (handler == nullptr) {
        result = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    } else {
        if (code == SERVICE_CONTROL_STOP)
            s.stopDelivered = true;
        handler(code);
    }
    uint32_t done[2] = {code, result};
    if (s.channelOpen)
        SendRecord(d->channel, kChannelControlDone, done, 2);
}

void ReadChannel(Dispatcher *d, LoopState &s)
{
    ChannelMessage m;
    ssize_t n = recv(d->channel, &m, sizeof m, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (n <= 0) {
        // The manager is gone: nobody is left to stop the service, so it
        // stops itself.
        s.channelOpen = false;
        s.stopWanted = true;
        return;
    }
    if (n == (ssize_t)sizeof m && m.kind == kChannelControl)
        RunControl(d, s, m.value[0]);
}

void DrainSignals(int sigfd, LoopState &s)
{
    signalfd_siginfo info;
    while (read(sigfd, &info, sizeof info) == (ssize_t)sizeof info)
        s.stopWanted = true;
}

void DrainWake(int fd)
{
    char bytes[64];
    while (read(fd, bytes, sizeof bytes) > 0) {
    }
}

// Runs controls on this thread until the service has reported SERVICE_STOPPED,
// or its main function has returned without doing so.
void DispatchUntilStopped(Dispatcher *d, int sigfd)
{
    LoopState s;
    for (;;) {
        pthread_mutex_lock(&d->lock);
        bool stopped = d->stopped;
        bool mainReturned = d->mainReturned;
        bool acceptsStop = (d->controlsAccepted & SERVICE_ACCEPT_STOP) != 0;
        if (!stopped && mainReturned && s.channelOpen)
            SendRecord(d->channel, kChannelMainReturned, nullptr, 0);
        pthread_mutex_unlock(&d->lock);
        if (stopped || mainReturned)
            return;

        // A stop asked for by a signal or by the manager's loss waits until
        // the service accepts one, so it never races the service's start.
        LPHANDLER_FUNCTION handler = d->handler.load();
        if (s.stopWanted && !s.stopDelivered && acceptsStop && handler != nullptr) {
            s.stopDelivered = true;
            handler(SERVICE_CONTROL_STOP);
            continue;
        }

        pollfd fds[3] = {{sigfd, POLLIN, 0}, {d->wakeRead, POLLIN, 0}, {-1, POLLIN, 0}};
        if (s.channelOpen)
            fds[2].fd = d->channel;
        if (poll(fds, 3, -1) < 0)
            continue; // EINTR; nothing else can fail on these descriptors
        if (fds[0].revents != 0)
            DrainSignals(sigfd, s);
        if (fds[1].revents != 0)
            DrainWake(d->wakeRead);
        if (fds[2].revents != 0)
            ReadChannel(d, s);
    }
}

bool TableIsUsable(const SERVICE_TABLE_ENTRYA *table)
{
    return table != nullptr && table[0].lpServiceName != nullptr &&
           table[0].lpServiceName[0] != '\0' && table[0].lpServiceProc != nullptr;
}

} // namespace

extern "C" BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA *lpServiceStartTable)
{
    int channel = TakeChannelFromEnvironment();
    if (channel < 0) {
        // Started from a console or by anything but the manager.
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }
    if (!TableIsUsable(lpServiceStartTable)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (dispatcherStarted.exchange(true)) {
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
    }

    Dispatcher *d = new Dispatcher; // kept for the life of the process
    d->channel = channel;
    d->name = lpServiceStartTable[0].lpServiceName;
    d->serviceMain = lpServiceStartTable[0].lpServiceProc;
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    d->wakeRead = wake[0];
    d->wakeWrite = wake[1];

    // SIGTERM and SIGINT become a stop control on this thread. They are
    // blocked before the service thread exists, so it and every thread it
    // starts inherit the block and none of them is ever interrupted.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    int sigfd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (sigfd < 0) {
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return FALSE;
    }

    theDispatcher.store(d);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, ServiceThread, d);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        theDispatcher.store(nullptr);
        close(sigfd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }

    DispatchUntilStopped(d, sigfd);
    // The signals stay blocked: a late SIGTERM must not cut the process's own
    // orderly exit short.
    close(sigfd);
    return TRUE;
}

extern "C" SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR lpServiceName,
                                                             LPHANDLER_FUNCTION lpHandlerProc)
{
    Dispatcher *d = theDispatcher.load();
    if (d == nullptr || lpServiceName == nullptr || strcasecmp(lpServiceName, d->name.c_str()) != 0) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    if (lpHandlerProc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    d->handler.store(lpHandlerProc);
    return HandleOf(d);
}

extern "C" BOOL SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus,
                                 LPSERVICE_STATUS lpServiceStatus)
{
    Dispatcher *d = theDispatcher.load();
    if (d == nullptr || hServiceStatus != HandleOf(d)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpServiceStatus == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const SERVICE_STATUS &st = *lpServiceStatus;
    if (st.dwCurrentState < SERVICE_STOPPED || st.dwCurrentState > SERVICE_PAUSED) {
        SetLastError(kErrorInvalidData);
        return FALSE;
    }

    uint32_t record[7] = {st.dwServiceType,   st.dwCurrentState,
                          st.dwControlsAccepted, st.dwWin32ExitCode,
                          st.dwServiceSpecificExitCode, st.dwCheckPoint,
                          st.dwWaitHint};
    pthread_mutex_lock(&d->lock);
    bool sent = SendRecord(d->channel, kChannelStatus, record, 7);
    d->controlsAccepted = st.dwControlsAccepted;
    if (st.dwCurrentState == SERVICE_STOPPED)
        d->stopped = true;
    pthread_mutex_unlock(&d->lock);
    // The dispatcher looks again: the service may have stopped, or come to
    // accept a stop that a signal asked for earlier.
    Wake(d);

    if (!sent) {
        // The manager is gone; the service still goes on to its stop.
        SetLastError(ERROR_BROKEN_PIPE);
        return FALSE;
    }
    return TRUE;
}
