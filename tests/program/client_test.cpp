// mailslot-client as a user runs it: its replies, messages and exit status.
#include <stdio.h>
#include <sys/wait.h>

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "mailslot/mailslot.h"
#include "program_fixture.h"

namespace {

struct Outcome {
    int status;
    std::string output; // stdout and stderr together
};

Outcome RunClient(const std::string &arguments, const std::string &cwd = ".")
{
    std::string command = "cd '" + cwd + "' && " + MAILSLOT_CLIENT + " " + arguments + " 2>&1";
    Outcome outcome{-1, ""};
    FILE *pipe = popen(command.c_str(), "r");
    char chunk[512];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        outcome.output.append(chunk, n);
    int status = pclose(pipe);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override { root = MakeMachineRoot(); }
    void TearDown() override { RemoveMachineRoot(root); }
    std::string root;
};

TEST_F(ClientTest, SaysWhatToDoWhenNoServerIsRunning)
{
    Outcome outcome = RunClient("/etc/hostname");
    EXPECT_EQ(outcome.status, 2);
    EXPECT_NE(outcome.output.find("no server is listening"), std::string::npos) << outcome.output;
    EXPECT_EQ(RunClient("--exit").status, 2);
}

TEST_F(ClientTest, SaysWhenAnotherProgramHoldsTheReplySlot)
{
    HANDLE held = CreateMailslotA("\\\\.\\mailslot\\$Channel2$", 0, 0, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    Outcome outcome = RunClient("/etc/hostname");
    EXPECT_EQ(outcome.status, 2);
    EXPECT_NE(outcome.output.find("already holds the reply slot"), std::string::npos)
        << outcome.output;
    CloseHandle(held);
}

TEST_F(ClientTest, GivesUpWhenNoReplyComes)
{
    // A slot that nobody answers.
    HANDLE silent = CreateMailslotA("\\\\.\\mailslot\\$Channel1$", 0, 0, NULL);
    ASSERT_NE(silent, INVALID_HANDLE_VALUE);
    Outcome outcome = RunClient("--timeout 0.3 /etc/hostname");
    EXPECT_EQ(outcome.status, 2);
    EXPECT_NE(outcome.output.find("no reply"), std::string::npos) << outcome.output;
    CloseHandle(silent);
}

TEST_F(ClientTest, RefusesBadUse)
{
    EXPECT_EQ(RunClient("").status, 2);
    EXPECT_EQ(RunClient("--timeout nope x").status, 2);
    EXPECT_EQ(RunClient("--exit extra").status, 2);
    EXPECT_EQ(RunClient("--bogus").status, 2);
}

TEST_F(ClientTest, PrintsRepliesAndExitsByTheirKind)
{
    ASSERT_EQ(InitMailslot(), 0);
    std::thread loop(RunMailslotServer);
    WriteWholeFile(root + "/abc.txt", "a b c");

    // A relative path is made absolute before it is sent.
    Outcome counted = RunClient("abc.txt", root);
    EXPECT_EQ(counted.status, 0);
    EXPECT_EQ(counted.output, "2\n");
    EXPECT_NE(ReadWholeFile(LogPath(root)).find("Received: <" + root + "/abc.txt>"),
              std::string::npos);

    Outcome missing = RunClient(root + "/missing.txt");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.output, "(Server)Can't open " + root + "/missing.txt!\n");

    // Several paths: the worst outcome decides the status.
    Outcome both = RunClient("abc.txt missing.txt", root);
    EXPECT_EQ(both.status, 1);
    EXPECT_EQ(both.output, "2\n(Server)Can't open " + root + "/missing.txt!\n");

    StopMailslotServer();
    CloseMailslot();
    loop.join();
}

} // namespace
