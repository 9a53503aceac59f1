// Faults around a request: the reply slot's holder gone mid-reply, clients
// that leave at once, the counted file deleted or cut short, and the
// service killed outright. Each leaves the service answering.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/platform.h"
#include "reliability_fixture.h"
#include "support/disk.h"

namespace {

const std::string kLongCount = std::to_string(kLongCountRanges);

bool IsCount(const std::string &out)
{
    return out.size() > 1 && out.back() == '\n' &&
           out.find_first_not_of("0123456789") == out.size() - 1;
}

} // namespace

TEST_F(ReliabilityTest, TheReplyHolderVanishingMidReplyLeavesTheServiceAnswering)
{
    StartService();
    std::string big = work_ + "/big.bin";
    ASSERT_TRUE(MakeLongCountFile(big));
    Spawned client = SpawnClient({"--timeout", "60", big});
    ASSERT_TRUE(WaitUntilOpen(QueryPid(), big));
    kill(client.pid, SIGKILL); // its reply slot goes while the file is counted
    Wait(client, 5);

    ASSERT_TRUE(WaitForLog(CountLines(big, kLongCount), 60));
    ExpectCount(MakeFile("abc.txt", "a b c"), "2\n");
}

TEST_F(ReliabilityTest, ClientsThatSendAndExitAtOnceLeaveTheServiceAnswering)
{
    StartService();
    std::string file = MakeFile("abc.txt", "a b c");
    std::vector<pid_t> gone;
    // Some take the reply slot (one at a time can) and never read it, some
    // none at all.
    for (int i = 0; i < 4; ++i)
        gone.push_back(StartChild([&, i] {
            if (i % 2 == 0)
                CreateMailslotA("\\\\.\\mailslot\\$Channel2$", 0, 0, NULL);
            return SendDatagram(SlotPath(), file) ? 0 : 3;
        }));
    for (pid_t p : gone)
        EXPECT_EQ(WaitChild(p, 10), 0);

    ExpectCount(file, "2\n", 30);
    ASSERT_TRUE(WaitForCount("Bytes sent 2\n\r\n", 5, 10));
    EXPECT_EQ(CountOf(Log(), CountLines(file, "2")), 5u);
}

TEST_F(ReliabilityTest, AFileDeletedOrCutShortWhileCountedGetsAWellFormedAnswer)
{
    StartService();
    long pid = QueryPid();
    for (bool deleted : {true, false}) {
        std::string big = work_ + (deleted ? "/deleted.bin" : "/cut.bin");
        ASSERT_TRUE(MakeLongCountFile(big));
        Spawned client = SpawnClient({"--timeout", "60", big});
        ASSERT_TRUE(WaitUntilOpen(pid, big));
        if (deleted)
            ASSERT_EQ(unlink(big.c_str()), 0);
        else
            ASSERT_EQ(truncate(big.c_str(), 3), 0);
        RunResult r = Wait(client, 90);
        // An open file outlives its name: the whole count. A cut file ends
        // where it now ends: whatever was read before.
        if (deleted)
            EXPECT_EQ(r.out, kLongCount + "\n") << r.err;
        else
            EXPECT_TRUE(IsCount(r.out)) << r.out << r.err;
        EXPECT_EQ(r.exitCode, 0);
    }
    ExpectCount(MakeFile("abc.txt", "a b c"), "2\n");
}

TEST_F(ReliabilityTest, KilledUnderLoadTheServiceRestartsAndItsLogStaysWhole)
{
    StartService();
    std::string file = MakeFile("abc.txt", "a b c");
    std::vector<pid_t> writers;
    for (int w = 0; w < 4; ++w)
        writers.push_back(StartChild([&] {
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
            while (std::chrono::steady_clock::now() < end)
                if (!SendDatagram(SlotPath(), "exit"))
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return 0;
        }));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    long pid = QueryPid();
    ASSERT_GT(pid, 0);
    kill(static_cast<pid_t>(pid), SIGKILL);
    for (pid_t w : writers)
        EXPECT_EQ(WaitChild(w, 10), 0);
    WaitUntilStopped();

    RunResult again = Svcctl({"start", kServiceName});
    ASSERT_EQ(again.exitCode, 0) << again.err;
    ExpectCount(file, "2\n");
    ASSERT_TRUE(WaitForLog(CountLines(file, "2")));
    std::string log = Log();
    EXPECT_EQ(CountOf(log, "MailSlot service entry point\r\n"), 2u);
    EXPECT_EQ(FirstForeignLine(log, {file}), "");
}

TEST_F(ReliabilityTest, AKernelFileWhoseReadBlocksIsNotCounted)
{
    if (access("/proc/kmsg", F_OK) != 0)
        GTEST_SKIP() << "no /proc/kmsg here";
    StartService();
    // It looks like a regular file, but a read waits for the kernel's next
    // message: counting it would hold the service for ever.
    ExpectCount("/proc/kmsg", "(Server)Can't open /proc/kmsg!\n");
    ExpectCount(MakeFile("abc.txt", "a b c"), "2\n");
}
