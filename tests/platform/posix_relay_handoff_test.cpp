// Writes to other machines' slots as the layer hands them to the host's
// relay: against a stand-in relay at $W32_ROOT/mailslot-relay/socket that
// records every request, and against sockets that another account planted.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "platform/posix/mailslot_extensions.h"
#include "support/child.h"
#include "support/slots.h"
#include "support/wait.h"
#include "test_root.h"

namespace {

// Listens at DIR/socket, answers "resolve NAME" from its table ("error 53"
// for a name it lacks) and any other request "ok", and records them all.
class StandInRelay {
public:
    StandInRelay(const std::string &dir, std::map<std::string, std::string> names)
        : names_(std::move(names)), listener_(BindSocket(dir + "/socket", SOCK_SEQPACKET))
    {
        EXPECT_GE(listener_, 0);
        EXPECT_EQ(listen(listener_, 8), 0);
        thread_ = std::thread([this] { serve(); });
    }
    ~StandInRelay() { stop(); }

    // Stops answering and closing, leaving its socket file behind.
    void stop()
    {
        stopping_ = true;
        if (thread_.joinable())
            thread_.join();
        if (listener_ >= 0)
            close(listener_);
        listener_ = -1;
    }
    std::vector<std::string> requests()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    int connections() const { return connections_; }

private:
    void serve()
    {
        std::vector<int> clients;
        while (!stopping_) {
            std::vector<pollfd> fds = {{listener_, POLLIN, 0}};
            for (int c : clients)
                fds.push_back({c, POLLIN, 0});
            if (poll(fds.data(), fds.size(), 20) <= 0)
                continue;
            if (fds[0].revents) {
                clients.push_back(accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC));
                ++connections_;
            }
            for (size_t i = 1; i < fds.size(); ++i)
                if (fds[i].revents && !answer(fds[i].fd))
                    clients[i - 1] = -1;
            clients.erase(std::remove(clients.begin(), clients.end(), -1), clients.end());
        }
        for (int c : clients)
            close(c);
    }
    bool answer(int client)
    {
        char buffer[2048];
        ssize_t got = recv(client, buffer, sizeof buffer, 0);
        if (got <= 0) {
            close(client);
            return false;
        }
        std::string request(buffer, size_t(got)), reply = "ok";
        if (request.compare(0, 8, "resolve ") == 0) {
            auto found = names_.find(request.substr(8));
            reply = found == names_.end() ? "error 53" : found->second;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
        }
        send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
        return true;
    }

    const std::map<std::string, std::string> names_;
    int listener_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::mutex mutex_;
    std::vector<std::string> requests_;
};

class RelayHandOff : public PlatformTest {
protected:
    void TearDown() override
    {
        if (slot_ != INVALID_HANDLE_VALUE)
            CloseHandle(slot_);
        PlatformTest::TearDown();
    }
    static DWORD open_error(const std::string &name)
    {
        HANDLE h = open_slot_writer(name);
        DWORD err = h == INVALID_HANDLE_VALUE ? GetLastError() : NO_ERROR;
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        return err;
    }
    // A broadcast written through the layer, and read back from the local slot.
    std::string broadcast_here(const std::string &text)
    {
        if (slot_ == INVALID_HANDLE_VALUE)
            slot_ = CreateMailslotA("\\\\.\\mailslot\\box", 0, 0, nullptr);
        HANDLE all = open_slot_writer("\\\\*\\mailslot\\BOX");
        EXPECT_TRUE(write(all, text));
        CloseHandle(all);
        std::string got = read(slot_);
        EXPECT_EQ(read(slot_), "<error 121>"); // exactly once
        return got;
    }

    HANDLE slot_ = INVALID_HANDLE_VALUE;
};

} // namespace

TEST_F(RelayHandOff, WritesToOtherMachinesAreRequestsToTheRelayAndABroadcastAlsoGoesThere)
{
    EXPECT_EQ(open_error("\\\\hostb\\mailslot\\box"), DWORD(ERROR_BAD_NETPATH)); // no relay
    ASSERT_EQ(mkdir(at("mailslot-relay").c_str(), 0755), 0);
    StandInRelay relay(at("mailslot-relay"), {{"hostb", "ok 10.0.0.2"}, {"GROUP", "ok group"}});

    HANDLE unique = open_slot_writer("\\\\hostb\\mailslot\\Box");
    ASSERT_NE(unique, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(write(unique, "two\nlines"));
    EXPECT_TRUE(write(unique, std::string(424, 'x')));
    EXPECT_FALSE(write(unique, std::string(425, 'x')));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_NETPATH));
    HANDLE group = open_slot_writer("\\\\GROUP\\mailslot\\box");
    ASSERT_NE(group, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(write(group, "to all"));
    CloseHandle(group);
    EXPECT_EQ(open_error("\\\\nosuch\\mailslot\\box"), DWORD(ERROR_BAD_NETPATH));
    EXPECT_EQ(broadcast_here("everyone"), "everyone");
    EXPECT_TRUE(WaitUntil([&] { return relay.requests().size() == 7; }, 5));
    EXPECT_EQ(relay.requests(),
              (std::vector<std::string>{"resolve hostb", "send unique hostb Box\ntwo\nlines",
                                        "send unique hostb Box\n" + std::string(424, 'x'),
                                        "resolve GROUP", "send group GROUP box\nto all",
                                        "resolve nosuch", "send all BOX\neveryone"}));

    // A relay gone, its socket left behind: as with no relay at all.
    relay.stop();
    EXPECT_FALSE(write(unique, "lost"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_NETPATH));
    CloseHandle(unique);
    EXPECT_EQ(open_error("\\\\hostb\\mailslot\\box"), DWORD(ERROR_BAD_NETPATH));
    EXPECT_EQ(broadcast_here("still here"), "still here");
}

TEST_F(RelayHandOff, ASocketOrFolderAnotherAccountCouldHavePlantedIsNoRelay)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give files to another account";
    const std::string dir = at("mailslot-relay"), elsewhere = at("elsewhere");
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
    const std::function<void()> plantings[] = {
        [&] { ASSERT_EQ(chown(dir.c_str(), kNobody, kNobody), 0); },
        [&] { ASSERT_EQ(chmod(dir.c_str(), 0777), 0); },
        [&] { ASSERT_EQ(chown((dir + "/socket").c_str(), kNobody, kNobody), 0); },
    };
    for (const auto &plant : plantings) {
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        StandInRelay relay(dir, {{"hostb", "ok 10.0.0.2"}});
        plant();
        EXPECT_EQ(open_error("\\\\hostb\\mailslot\\box"), DWORD(ERROR_BAD_NETPATH));
        EXPECT_EQ(broadcast_here("local only"), "local only");
        relay.stop();
        EXPECT_EQ(relay.connections(), 0);
        ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
    }
    // A link to a folder with a live relay of root's.
    StandInRelay relay(elsewhere, {{"hostb", "ok 10.0.0.2"}});
    ASSERT_EQ(symlink(elsewhere.c_str(), dir.c_str()), 0);
    EXPECT_EQ(open_error("\\\\hostb\\mailslot\\box"), DWORD(ERROR_BAD_NETPATH));
    relay.stop();
    EXPECT_EQ(relay.connections(), 0);
}

TEST_F(RelayHandOff, TheRelaysLocalDeliveryNeverWaitsSaysWhenASlotIsFullAndHandsNothingBack)
{
    ASSERT_EQ(mkdir(at("mailslot-relay").c_str(), 0755), 0);
    StandInRelay relay(at("mailslot-relay"), {});
    slot_ = CreateMailslotA("\\\\.\\mailslot\\box", 0, 0, nullptr);
    // Nobody reads: the slot's queue fills, then its socket, and then each
    // delivery says so at once instead of waiting for room.
    int delivered = 0;
    DWORD result = NO_ERROR;
    auto start = std::chrono::steady_clock::now();
    auto fill = [&] {
        while (delivered < 5000 && (result = w32::deliver_local_broadcast(
                                        "BOX", &delivered, sizeof delivered)) == NO_ERROR)
            ++delivered;
    };
    fill();
    // The slot's receiver thread may still be moving messages from the
    // socket into the queue; once the queue is full, the socket stays full.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    fill();
    EXPECT_EQ(result, DWORD(ERROR_BUSY)) << delivered;
    EXPECT_EQ(w32::deliver_local_broadcast("box", "x", 1), DWORD(ERROR_BUSY));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    for (int i = 0; i < delivered; ++i) {
        std::string message = read(slot_);
        ASSERT_EQ(message.size(), sizeof i) << i << message;
        EXPECT_EQ(memcmp(message.data(), &i, sizeof i), 0);
    }
    EXPECT_EQ(w32::deliver_local_broadcast("box", "again", 5), DWORD(NO_ERROR));
    EXPECT_EQ(w32::deliver_local_broadcast("nosuch", "x", 1), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(w32::deliver_local_broadcast("box", std::string(425, 'x').data(), 425),
              DWORD(ERROR_BAD_NETPATH));
    EXPECT_EQ(relay.connections(), 0);
}
