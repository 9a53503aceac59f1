// Load: many clients at once, and more requests than the service can hold.
#include <errno.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <vector>

#include "platform/platform.h"
#include "reliability_fixture.h"

namespace {

constexpr int kWriters = 8;
constexpr int kExitsPerWriter = 1250; // 10,000 in all

// What the service may gain in memory under load: the slot's own bound
// (1 MiB of messages) and room for the allocator. Sanitizers keep freed
// memory in quarantine and records of each allocation, so they get more.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define UNDER_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(UNDER_SANITIZER)
constexpr long kMemoryBoundKiB = 64 * 1024;
#else
constexpr long kMemoryBoundKiB = 8 * 1024;
#endif

// The slot holds at most this many messages in memory; past it they wait in
// the socket, whose queue the kernel bounds.
constexpr long kSlotHeldMessages = 1024;

long SocketQueueLength()
{
    std::ifstream in("/proc/sys/net/unix/max_dgram_qlen");
    long n = 0;
    return (in >> n) ? n : 512;
}

} // namespace

TEST_F(ReliabilityTest, TenThousandExitsFromEightClientsAreAllLogged)
{
    StartService();
    long pid = QueryPid();
    long baseline = MemoryKiB(pid, "VmRSS");
    ASSERT_GT(baseline, 0);

    // Each writer uses its own handle; a full slot makes WriteFile wait.
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w)
        writers.push_back(StartChild([] {
            HANDLE h = CreateFileA(kServerSlot, GENERIC_WRITE, FILE_SHARE_READ, NULL,
                                   OPEN_EXISTING, 0, NULL);
            if (h == INVALID_HANDLE_VALUE)
                return 2;
            for (int i = 0; i < kExitsPerWriter; ++i) {
                DWORD cbWritten = 0;
                if (!WriteFile(h, "exit", 4, &cbWritten, NULL) || cbWritten != 4)
                    return 3;
            }
            CloseHandle(h);
            return 0;
        }));
    for (pid_t w : writers)
        EXPECT_EQ(WaitChild(w, 60), 0);

    const size_t total = size_t(kWriters) * kExitsPerWriter;
    EXPECT_TRUE(WaitForCount("Client exited!\n\r\n", total, 60));
    std::string log = Log();
    EXPECT_EQ(CountOf(log, "Received: <exit>\n\r\nClient exited!\n\r\n"), total);
    EXPECT_EQ(FirstForeignLine(log, {}), "");
    long peak = MemoryKiB(pid, "VmHWM");
    EXPECT_LT(peak - baseline, kMemoryBoundKiB) << "baseline " << baseline << " KiB";
    RecordProperty("messages", int(total));
    RecordProperty("memory_growth_kib", int(peak - baseline));

    ExpectCount(MakeFile("abc.txt", "a b c"), "2\n");
}

TEST_F(ReliabilityTest, AFloodOfPathRequestsMakesWritersWaitNotTheServiceGrow)
{
    StartService();
    long pid = QueryPid();
    long baseline = MemoryKiB(pid, "VmRSS");

    // Counters the writers share with the test.
    struct Tally {
        std::atomic<long> sent{0};
        std::atomic<long> waits{0};
    };
    void *shared = mmap(nullptr, sizeof(Tally), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    Tally *tally = new (shared) Tally;

    const std::string slot = SlotPath();
    const std::string request = work_ + "/" + std::string(300, 'p'); // never there
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w)
        writers.push_back(StartChild([&] {
            int fd = ConnectDatagram(slot);
            if (fd < 0)
                return 2;
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
            while (std::chrono::steady_clock::now() < end) {
                if (send(fd, request.data(), request.size(), MSG_DONTWAIT) >= 0) {
                    tally->sent++;
                    continue;
                }
                if (errno != EAGAIN && errno != EWOULDBLOCK)
                    return 3;
                tally->waits++;
                struct pollfd room = {fd, POLLOUT, 0};
                poll(&room, 1, 50);
            }
            close(fd);
            return 0;
        }));
    for (pid_t w : writers)
        EXPECT_EQ(WaitChild(w, 30), 0);

    // Whatever was sent and not yet answered is held within the slot's bound.
    long answered = long(CountOf(Log(), "Received: <" + request + ">\n\r\n"));
    long held = tally->sent - answered;
    EXPECT_GT(tally->waits.load(), 0);
    EXPECT_LE(held, kSlotHeldMessages + SocketQueueLength() + 1)
        << tally->sent << " sent, " << answered << " answered";
    EXPECT_LT(MemoryKiB(pid, "VmHWM") - baseline, kMemoryBoundKiB);
    RecordProperty("flood_sent", int(tally->sent.load()));
    munmap(shared, sizeof(Tally));

    // The backlog does not hold up a stop, and a new run answers at once.
    RunResult stop = Svcctl({"stop", kServiceName});
    EXPECT_EQ(stop.exitCode, 0) << stop.err;
    EXPECT_LT(stop.seconds, 3.0);
    ASSERT_EQ(Svcctl({"start", kServiceName}).exitCode, 0);
    ExpectCount(MakeFile("abc.txt", "a b c"), "2\n");
}
