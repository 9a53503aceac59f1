// The service when things go wrong: a start that fails, a stop in the middle
// of a long request, and processes killed outright.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "platform/platform.h"
#include "service_fixture.h"
#include "support/disk.h"
#include "support/wait.h"

namespace {

const std::string kStopTail = "MailSlot Service stopping...\r\n"
                              "Mailslot closed!\r\n"
                              "MailSlot Service stopped!\r\n";

long ParentOf(long pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(in, stat);
    size_t close = stat.rfind(')');
    return close == std::string::npos ? 0 : std::atol(stat.c_str() + close + 4);
}

} // namespace

TEST_F(ServiceTest, FailedStartRunsTheStopSequenceAndStartFails)
{
    Register();
    HANDLE held = CreateMailslotA("\\\\.\\mailslot\\$Channel1$", 0, 0, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE) << GetLastError();
    RunResult start = Svcctl({"start", kServiceName});
    CloseHandle(held);

    EXPECT_EQ(start.exitCode, 1);
    EXPECT_NE(start.err.find("stopped while starting"), std::string::npos) << start.err;
    EXPECT_EQ(std::count(start.err.begin(), start.err.end(), '\n'), 1) << start.err;
    EXPECT_EQ(History(), (std::vector<std::string>{kStartPending, kStopPending, kStopped}));
    EXPECT_EQ(Log(), "MailSlot service entry point\r\n"
                     "MailSlot Service starting...\r\n"
                     "CreateMailslot: Error 183\n\r\n"
                     "Error init MailSlot server -1\r\n" +
                         kStopTail);
    EXPECT_EQ(QueryPid(), 0);
}

TEST_F(ServiceTest, StopDuringAHugeCountReturnsPromptlyAndEndsTheLog)
{
    Register();
    ASSERT_EQ(Svcctl({"start", kServiceName}).exitCode, 0);
    std::string huge = work_ + "/huge.bin";
    ASSERT_TRUE(MakeLongCountFile(huge));
    Spawned client = SpawnClient({"--timeout", "60", huge});
    ASSERT_TRUE(WaitForLog("Received: <" + huge + ">\n\r\n"));

    RunResult stop = Svcctl({"stop", kServiceName});
    EXPECT_EQ(stop.exitCode, 0) << stop.err;
    EXPECT_LT(stop.seconds, 2.0);

    std::string log = Log();
    EXPECT_TRUE(EndsWith(log, kStopTail)) << log;
    EXPECT_EQ(log.find("spaces ="), std::string::npos) << log;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Log(), log);

    kill(client.pid, SIGKILL);
    Wait(client, 5);
}

TEST_F(ServiceTest, AServiceKilledWithSigkillIsRecordedStoppedAndStartsAgain)
{
    Register();
    ASSERT_EQ(Svcctl({"start", kServiceName}).exitCode, 0);
    long pid = QueryPid();
    ASSERT_GT(pid, 0);
    kill(static_cast<pid_t>(pid), SIGKILL);

    WaitUntilStopped();
    RunResult query = Svcctl({"query", kServiceName});
    EXPECT_NE(query.out.find("STATE              : 1  STOPPED"), std::string::npos) << query.out;
    EXPECT_NE(query.out.find("WIN32_EXIT_CODE    : 1067  (0x42b)"), std::string::npos) << query.out;
    EXPECT_EQ(History(), (std::vector<std::string>{kStartPending, kRunning, "16 1 0 1067 0 0 0"}));

    // Its slot is left behind; the new run reclaims it.
    RunResult again = Svcctl({"start", kServiceName});
    ASSERT_EQ(again.exitCode, 0) << again.err;
    RunResult count = Client({MakeFile("abc.txt", "a b c")});
    EXPECT_EQ(count.exitCode, 0) << count.err;
    EXPECT_EQ(count.out, "2\n");
    EXPECT_EQ(Svcctl({"stop", kServiceName}).exitCode, 0);
}

TEST_F(ServiceTest, SigtermOrSigintToTheProgramStopsItThroughItsStopSequence)
{
    Register();
    for (int sig : {SIGTERM, SIGINT}) {
        ASSERT_EQ(Svcctl({"start", kServiceName}).exitCode, 0);
        ASSERT_TRUE(WaitForLog("Mailslot server demo\n\r\n"));
        long pid = QueryPid();
        ASSERT_GT(pid, 0);
        size_t logged = Log().size();
        kill(static_cast<pid_t>(pid), sig);

        EXPECT_TRUE(WaitUntilStopped()) << "signal " << sig;
        EXPECT_EQ(History(),
                  (std::vector<std::string>{kStartPending, kRunning, kStopPending, kStopped}));
        EXPECT_EQ(Log().substr(logged), kStopTail) << "signal " << sig;
    }
}

TEST_F(ServiceTest, LosingItsSupervisorStopsTheServiceThroughItsStopSequence)
{
    Register();
    ASSERT_EQ(Svcctl({"start", kServiceName}).exitCode, 0);
    ASSERT_TRUE(WaitForLog("Mailslot server demo\n\r\n"));
    long pid = QueryPid();
    long supervisor = ParentOf(pid);
    ASSERT_GT(supervisor, 1);
    kill(static_cast<pid_t>(supervisor), SIGKILL);

    ASSERT_TRUE(WaitForLog("MailSlot Service stopped!\r\n"));
    EXPECT_TRUE(EndsWith(Log(), kStopTail));
    EXPECT_TRUE(WaitUntil([&] { return ProcessIsGone(pid); }, 5));

    // Nothing stale stops the next start: no lock, no socket in the way.
    RunResult query = Svcctl({"query", kServiceName});
    EXPECT_NE(query.out.find("STATE              : 1  STOPPED"), std::string::npos) << query.out;
    RunResult again = Svcctl({"start", kServiceName});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(Svcctl({"stop", kServiceName}).exitCode, 0);
}
