// The stop, as the stop sequence delivers it from the other thread: prompt,
// and the last word in the log.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

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
    // promptly without another line.
    void StopAndCheckSilence()
    {
        Clock::time_point start = Clock::now();
        StopMailslotServer();
        CloseMailslot();
        EXPECT_LT(MillisecondsSince(start), 200);
        std::string logAtStop = ReadWholeFile(LogPath(root));
        WriteToLog("last");

        loop.join();
        EXPECT_LT(MillisecondsSince(start), 1000);
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
    int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, (off_t)64 << 30), 0); // sparse: minutes of counting
    close(fd);

    ASSERT_TRUE(SendRequest(path));
    WaitForLogGrowth(LogPath(root), 0, "Received: <" + path + ">\n", 3000);
    Sleep(200); // well into the count
    StopAndCheckSilence();

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
