// The receiver thread: one per process, the platform's own, waiting on every
// slot's sockets and handing each slot the ones with datagrams waiting.
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <unordered_map>

#include "platform/posix/internal.h"

namespace w32 {

struct Receiver {
    pid_t pid;
    UniqueFd epoll;
    std::mutex mutex; // guards slots and next_id
    std::unordered_map<uint64_t, std::weak_ptr<MailslotServer>> slots;
    uint64_t next_id = 1;
};

namespace {

// This process's receiver, leaked on purpose like the handle table: a slot
// may still use it while exit() runs. A forked child starts its own, as it
// inherits no thread, and never touches its parent's, whose epoll set it
// shares and whose lock another thread may have held at the fork.
std::mutex g_start;
Receiver *g_receiver = nullptr;

void *run(void *arg)
{
    Receiver *receiver = static_cast<Receiver *>(arg);
    struct epoll_event events[32];
    for (;;) {
        int count = epoll_wait(receiver->epoll.get(), events, 32, -1);
        for (int i = 0; i < count; ++i) {
            const uint64_t data = events[i].data.u64;
            std::shared_ptr<MailslotServer> slot;
            {
                std::lock_guard<std::mutex> lock(receiver->mutex);
                auto found = receiver->slots.find(data >> 1);
                if (found != receiver->slots.end())
                    slot = found->second.lock();
            }
            if (slot) // else closed since: the event is stale
                slot->receive(SocketRole(data & 1));
        }
    }
    return nullptr;
}

Receiver *this_process_receiver(DWORD *err)
{
    static const bool fork_safe = [] {
        pthread_atfork([] { g_start.lock(); }, [] { g_start.unlock(); }, [] { g_start.unlock(); });
        return true;
    }();
    (void)fork_safe;
    std::lock_guard<std::mutex> lock(g_start);
    if (g_receiver && g_receiver->pid == getpid())
        return g_receiver;
    auto receiver = std::make_unique<Receiver>();
    receiver->pid = getpid();
    receiver->epoll.reset(epoll_create1(EPOLL_CLOEXEC));
    if (!receiver->epoll.valid()) {
        *err = error_from_errno(errno);
        return nullptr;
    }
    // Signals stay with the program's own threads.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    pthread_t thread;
    int rc = pthread_create(&thread, nullptr, run, receiver.get());
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (rc != 0) {
        *err = error_from_errno(rc);
        return nullptr;
    }
    pthread_detach(thread);
    g_receiver = receiver.release();
    return g_receiver;
}

struct epoll_event one_shot(uint64_t id, SocketRole role)
{
    struct epoll_event event = {};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.u64 = (id << 1) | uint64_t(role);
    return event;
}

} // namespace

DWORD ReceiverWatch::start(const std::shared_ptr<MailslotServer> &slot, const int sockets[2])
{
    DWORD err = NO_ERROR;
    receiver_ = this_process_receiver(&err);
    if (!receiver_)
        return err;
    {
        std::lock_guard<std::mutex> lock(receiver_->mutex);
        id_ = receiver_->next_id++;
        receiver_->slots[id_] = slot;
    }
    for (SocketRole role : {kHolderSocket, kFileSocket}) {
        struct epoll_event event = one_shot(id_, role);
        if (sockets[role] >= 0 &&
            epoll_ctl(receiver_->epoll.get(), EPOLL_CTL_ADD, sockets[role], &event) != 0) {
            err = error_from_errno(errno);
            stop(sockets);
            return err;
        }
    }
    return NO_ERROR;
}

void ReceiverWatch::listen(SocketRole role, int socket) const
{
    if (!receiver_ || receiver_->pid != getpid())
        return;
    struct epoll_event event = one_shot(id_, role);
    epoll_ctl(receiver_->epoll.get(), EPOLL_CTL_MOD, socket, &event);
}

void ReceiverWatch::stop(const int sockets[2])
{
    if (!receiver_ || receiver_->pid != getpid())
        return;
    for (SocketRole role : {kHolderSocket, kFileSocket})
        if (sockets[role] >= 0)
            epoll_ctl(receiver_->epoll.get(), EPOLL_CTL_DEL, sockets[role], nullptr);
    std::lock_guard<std::mutex> lock(receiver_->mutex);
    receiver_->slots.erase(id_);
}

} // namespace w32
