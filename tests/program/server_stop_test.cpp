// The stop, as the stop sequence delivers it from the other thread: prompt,
// and the last word in the log.
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "log/log.h"
#include "mailslot/mailslot.h"
#include "program_fixture.h"
#include "support/disk.h"

namespace {

using Clock = std::chrono::steady_clock;

long MillisecondsSince(Clock::time_point start)
{
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
        .count();
}

class ServerStopTest : public ProgramTest {
protected:
    void SetUp() override
    {
        ASSERT_EQ(InitMailslot(), 0);
        loop = std::thread(RunMailslotServer);
        reply = CreateMailslotA("\\\\.\\mailslot\\$Channel2$", 0, 0, NULL);
    }

    void TearDown() override
    {
        if (loop.joinable())
            loop.join();
        CloseHandle(reply);
    }

    // Stops as the stop sequence does, and checks that the loop then returns
    // within loopMs without another line.
    void StopAndCheckSilence(long loopMs = 1000)
    {
        Clock::time_point start = Clock::now();
        StopMailslotServer();
        CloseMailslot();
        EXPECT_LT(MillisecondsSince(start), 200);
        std::string logAtStop = ReadWholeFile(LogPath(root));
        WriteToLog("last");

        loop.join();
        EXPECT_LT(MillisecondsSince(start), loopMs);
        Sleep(100);
        EXPECT_EQ(ReadWholeFile(LogPath(root)), logAtStop + "last\r\n");
    }

    std::thread loop;
    HANDLE reply = INVALID_HANDLE_VALUE;
};

TEST_F(ServerStopTest, StopsPromptlyWhileIdle)
{
    WaitForText(LogPath(root), "Mailslot server demo\n", 2);
    StopAndCheckSilence();
}

TEST_F(ServerStopTest, StopsPromptlyAndSilentlyWhileAHugeFileIsCounted)
{
    std::string path = root + "/huge";
    ASSERT_TRUE(MakeLongCountFile(path));

    ASSERT_TRUE(SendRequest(path));
    WaitForText(LogPath(root), "Received: <" + path + ">\n", 3);
    ASSERT_TRUE(WaitUntilOpen(getpid(), path, 3));
    // The count has over a second to go: only a stop looked at between two
    // blocks ends it this soon.
    StopAndCheckSilence(300);

    std::string message;
    EXPECT_FALSE(WaitForMessage(reply, &message, 0.1)) << "no reply after the stop";
}

TEST_F(ServerStopTest, StopsPromptlyWhileRequestsKeepComing)
{
    for (int i = 0; i < 20; i++)
        ASSERT_TRUE(SendRequest("exit"));
    StopAndCheckSilence();
}

} // namespace
