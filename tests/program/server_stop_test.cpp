// The stop, as the stop sequence delivers it from the other thread: prompt,
// and the last word in the log.
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "../long_count_file.h"
#include "log/log.h"
#include "mailslot/mailslot.h"
#include "program_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

long MillisecondsSince(Clock::time_point start)
{
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
        .count();
}

// Whether this process has the file at path open.
bool IsOpenHere(const std::string &path)
{
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        std::error_code ignored;
        if (std::filesystem::read_symlink(it->path(), ignored) == path)
            return true;
    }
    return false;
}

class ServerStopTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = MakeMachineRoot();
        ASSERT_EQ(InitMailslot(), 0);
        loop = std::thread(RunMailslotServer);
        reply = CreateMailslotA("\\\\.\\mailslot\\$Channel2$", 0, 0, NULL);
    }

    void TearDown() override
    {
        if (loop.joinable())
            loop.join();
        CloseHandle(reply);
        RemoveMachineRoot(root);
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

    std::string root;
    std::thread loop;
    HANDLE reply = INVALID_HANDLE_VALUE;
};

TEST_F(ServerStopTest, StopsPromptlyWhileIdle)
{
    WaitForLogGrowth(LogPath(root), 0, "Mailslot server demo\n", 2000);
    StopAndCheckSilence();
}

TEST_F(ServerStopTest, StopsPromptlyAndSilentlyWhileAHugeFileIsCounted)
{
    std::string path = root + "/huge";
    ASSERT_TRUE(MakeLongCountFile(path));

    ASSERT_TRUE(SendRequest(path));
    WaitForLogGrowth(LogPath(root), 0, "Received: <" + path + ">\n", 3000);
    for (int i = 0; i < 3000 && !IsOpenHere(path); i++)
        Sleep(1);
    ASSERT_TRUE(IsOpenHere(path));
    // The count has over a second to go: only a stop looked at between two
    // blocks ends it this soon.
    StopAndCheckSilence(300);

    std::string message;
    EXPECT_FALSE(WaitForMessage(reply, &message, 100)) << "no reply after the stop";
}

TEST_F(ServerStopTest, StopsPromptlyWhileRequestsKeepComing)
{
    for (int i = 0; i < 20; i++)
        ASSERT_TRUE(SendRequest("exit"));
    StopAndCheckSilence();
}

} // namespace
