#include "system_resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "interfaces.h"

namespace relay {

namespace {

// The first IPv4 address of `host` that one host has; 0 for none.
uint32_t first_address(const std::string &host)
{
    struct addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    struct addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0)
        return 0;
    uint32_t address = 0;
    for (struct addrinfo *a = found; a && !address; a = a->ai_next) {
        uint32_t candidate = ntohl(reinterpret_cast<struct sockaddr_in *>(a->ai_addr)->sin_addr.s_addr);
        if (is_host_address(candidate))
            address = candidate;
    }
    freeaddrinfo(found);
    return address;
}

} // namespace

// What the loop and the lookup thread share; the thread holds it alive
// past the resolver's end.
struct SystemResolver::Shared {
    std::mutex lock;
    std::condition_variable wake;
    bool stopping = false;
    int event = -1;
    std::deque<std::pair<std::string, Done>> asked;
    std::deque<std::pair<Done, uint32_t>> answered;

    ~Shared()
    {
        if (event >= 0)
            close(event);
    }

    void serve()
    {
        std::unique_lock<std::mutex> held(lock);
        for (;;) {
            wake.wait(held, [this] { return stopping || !asked.empty(); });
            if (stopping)
                return;
            auto job = std::move(asked.front());
            asked.pop_front();
            held.unlock();
            uint32_t address = first_address(job.first);
            held.lock();
            answered.emplace_back(std::move(job.second), address);
            uint64_t one = 1;
            (void)!write(event, &one, sizeof one);
        }
    }
};

SystemResolver::SystemResolver() : shared_(std::make_shared<Shared>())
{
    shared_->event = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (shared_->event < 0)
        return;
    std::shared_ptr<Shared> shared = shared_;
    std::thread([shared] { shared->serve(); }).detach();
}

SystemResolver::~SystemResolver()
{
    std::lock_guard<std::mutex> held(shared_->lock);
    shared_->stopping = true;
    shared_->asked.clear();
    shared_->answered.clear();
    shared_->wake.notify_all();
}

int SystemResolver::fd() const
{
    return shared_->event;
}

void SystemResolver::lookup(const std::string &host, Done done)
{
    {
        std::lock_guard<std::mutex> held(shared_->lock);
        if (shared_->event >= 0 && shared_->asked.size() < kQueueMax) {
            shared_->asked.emplace_back(host, std::move(done));
            shared_->wake.notify_all();
            return;
        }
    }
    done(false, 0);
}

void SystemResolver::on_ready()
{
    uint64_t count;
    (void)!read(shared_->event, &count, sizeof count);
    std::deque<std::pair<Done, uint32_t>> answered;
    {
        std::lock_guard<std::mutex> held(shared_->lock);
        answered.swap(shared_->answered);
    }
    for (auto &answer : answered)
        answer.first(answer.second != 0, answer.second);
}

} // namespace relay
