// mailslot-client as a user runs it: its replies, messages and exit status,
// against the real request loop or against the test in the service's place.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mailslot/mailslot.h"
#include "platform/posix/mailslot_extensions.h"
#include "program_fixture.h"
#include "support/child.h"

namespace {

struct Outcome {
    int status;
    std::string output; // stdout, with stderr as it comes unless left out
};

const char kMarkerStart[] = "\\\\?\\mailslot-client\\";

// Runs the client from cwd with these arguments, separated by spaces.
Outcome RunClient(const std::string &arguments, const std::string &cwd = ".",
                  bool withStderr = true)
{
    static TempDir outputs;
    std::vector<std::string> argv = {MAILSLOT_CLIENT};
    std::istringstream words(arguments);
    for (std::string word; words >> word;)
        argv.push_back(word);
    RunResult r = RunProgram(argv, outputs.path(), 100, false, [&] {
        return chdir(cwd.c_str()) == 0 && (!withStderr || dup2(1, 2) == 2);
    });
    return {r.exitCode, r.out};
}

std::future<Outcome> StartClient(const std::string &arguments)
{
    return std::async(std::launch::async, [arguments] { return RunClient(arguments); });
}

std::string CannotOpen(const std::string &request)
{
    return "(Server)Can't open " + request + "!";
}

// What the client sends for one path: the request between two markers. The
// leading marker is empty when the previous path's trailing one leads.
struct Bracket {
    std::string leading, request, trailing;
};

// The test in the service's place: it holds the server slot, takes what the
// client sends, and broadcasts the replies it chooses.
class ScriptedService {
public:
    ScriptedService() : slot_(CreateMailslotA("\\\\.\\mailslot\\$Channel1$", 0, 0, NULL))
    {
        EXPECT_NE(slot_, INVALID_HANDLE_VALUE);
    }
    ~ScriptedService() { CloseHandle(slot_); }

    std::string Take(double timeoutSeconds = 5)
    {
        std::string message;
        WaitForMessage(slot_, &message, timeoutSeconds);
        return message;
    }

    // Stops at the first message that does not come within timeoutSeconds.
    Bracket TakeBracket(bool leading = true, double timeoutSeconds = 5)
    {
        Bracket b;
        if (leading && (b.leading = Take(timeoutSeconds)).empty())
            return b;
        if (!(b.request = Take(timeoutSeconds)).empty())
            b.trailing = Take(timeoutSeconds);
        return b;
    }

    void Broadcast(const std::string &text)
    {
        HANDLE h = CreateFileA("\\\\*\\mailslot\\$Channel2$", GENERIC_WRITE, FILE_SHARE_READ, NULL,
                               OPEN_EXISTING, 0, NULL);
        DWORD cbWritten = 0;
        EXPECT_TRUE(WriteFile(h, text.c_str(), (DWORD)text.size() + 1, &cbWritten, NULL));
        CloseHandle(h);
    }

private:
    HANDLE slot_;
};

class ClientTest : public ProgramTest {
protected:
    void TearDown() override
    {
        if (loop.joinable()) {
            StopMailslotServer();
            CloseMailslot();
            loop.join();
        }
    }

    // Runs the real request loop in this process.
    void StartLoop()
    {
        ASSERT_EQ(InitMailslot(), 0);
        loop = std::thread(RunMailslotServer);
    }

    std::thread loop;
};

TEST_F(ClientTest, SaysWhatToDoWhenNoServerIsRunning)
{
    Outcome outcome = RunClient("/etc/hostname");
    EXPECT_EQ(outcome.status, 2);
    EXPECT_NE(outcome.output.find("no server is listening"), std::string::npos) << outcome.output;
    EXPECT_EQ(RunClient("--exit").status, 2);
}

TEST_F(ClientTest, WaitsItsTurnForTheReplySlotWithinItsTimeout)
{
    HANDLE held = CreateMailslotA("\\\\.\\mailslot\\$Channel2$", 0, 0, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    auto start = std::chrono::steady_clock::now();
    Outcome outcome = RunClient("--timeout 0.5 /etc/hostname");
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(outcome.status, 2);
    EXPECT_NE(outcome.output.find("held the reply slot"), std::string::npos) << outcome.output;
    EXPECT_GE(seconds, 0.5);
    EXPECT_LT(seconds, 3.0);
    CloseHandle(held);
}

TEST_F(ClientTest, ItsTimeoutBoundsASendWaitingForRoom)
{
    // A server slot that is full and never read: the send waits for room.
    HANDLE full = CreateMailslotA("\\\\.\\mailslot\\$Channel1$", 0, 0, NULL);
    ASSERT_NE(full, INVALID_HANDLE_VALUE);
    HANDLE filler = CreateFileA("\\\\.\\mailslot\\$Channel1$", GENERIC_WRITE, FILE_SHARE_READ,
                                NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(filler, INVALID_HANDLE_VALUE);
    w32::mailslot_limit_waits(200);
    DWORD written = 0;
    while (WriteFile(filler, "fill", 4, &written, NULL)) {
    }
    auto start = std::chrono::steady_clock::now();
    Outcome outcome = RunClient("--timeout 1 /etc/hostname");
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(outcome.status, 2);
    EXPECT_NE(outcome.output.find("no room"), std::string::npos) << outcome.output;
    EXPECT_LT(seconds, 3.0);
    CloseHandle(filler);
    CloseHandle(full);
    w32::mailslot_limit_waits(10000);
}

TEST_F(ClientTest, AMissingMachineRootIsReportedAndLeftMissing)
{
    const std::string absent = root + "/absent";
    static TempDir outputs;
    RunResult r = RunProgram({MAILSLOT_CLIENT, "/etc/hostname"}, outputs.path(), 30, false,
                             [&] { return setenv("W32_ROOT", absent.c_str(), 1) == 0; });
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
    EXPECT_NE(access(absent.c_str(), F_OK), 0) << "the client made the machine root";
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

TEST_F(ClientTest, HelpSucceedsAndBadUseIsRefused)
{
    for (const char *help : {"--help", "-h", "--timeout 3 -h"}) {
        Outcome outcome = RunClient(help, ".", false);
        EXPECT_EQ(outcome.status, 0) << help;
        EXPECT_EQ(outcome.output.find("usage: mailslot-client"), 0u) << help << outcome.output;
    }
    // Bad use: the usage goes to stderr.
    EXPECT_EQ(RunClient("", ".", false).output, "");
    EXPECT_EQ(RunClient("").status, 2);
    EXPECT_EQ(RunClient("--timeout nope x").status, 2);
    EXPECT_EQ(RunClient("--exit extra").status, 2);
    EXPECT_EQ(RunClient("--bogus").status, 2);
}

TEST_F(ClientTest, PrintsRepliesAndExitsByTheirKind)
{
    StartLoop();
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
}

TEST_F(ClientTest, AClientThatGaveUpDoesNotLendItsLateReplyToTheNext)
{
    StartLoop();
    WriteWholeFile(root + "/ten.txt", "          ");
    WriteWholeFile(root + "/abc.txt", "a b c");

    Outcome gaveUp = RunClient("--timeout 0.05 " + root + "/ten.txt");
    EXPECT_EQ(gaveUp.status, 2) << gaveUp.output;
    Outcome next = RunClient("--timeout 20 " + root + "/abc.txt");
    EXPECT_EQ(next.output, "2\n");
    EXPECT_EQ(next.status, 0);
    // The late reply was there to be taken.
    EXPECT_NE(ReadWholeFile(LogPath(root)).find("spaces = 10"), std::string::npos);
}

TEST_F(ClientTest, OnlyTheOneReplyBetweenItsMarkersThatCanBeItsOwnIsTaken)
{
    ScriptedService service;
    std::string path = root + "/abc.txt", other = root + "/other.txt";
    std::future<Outcome> client = StartClient("--timeout 20 " + path + " " + other);

    Bracket first = service.TakeBracket();
    EXPECT_EQ(first.request, path);
    EXPECT_EQ(first.leading.rfind(kMarkerStart, 0), 0u) << first.leading;
    EXPECT_EQ(first.trailing.rfind(kMarkerStart, 0), 0u) << first.trailing;
    EXPECT_NE(first.leading, first.trailing);
    // A late reply to an earlier client comes before the window and is
    // ignored; another client's count inside it leaves two candidates.
    service.Broadcast("10");
    service.Broadcast(CannotOpen(first.leading));
    service.Broadcast("7");
    service.Broadcast("2");
    service.Broadcast(CannotOpen(first.trailing));

    // Asked again between fresh markers; another client's cannot-open reply
    // in the window is no candidate.
    Bracket second = service.TakeBracket();
    EXPECT_EQ(second.request, path);
    EXPECT_NE(second.leading, first.leading);
    EXPECT_NE(second.leading, first.trailing);
    EXPECT_NE(second.trailing, first.trailing);
    service.Broadcast(CannotOpen(second.leading));
    service.Broadcast(CannotOpen(root + "/elsewhere.txt"));
    service.Broadcast("2");
    service.Broadcast(CannotOpen(second.trailing));

    // The next path is led by the trailing marker already answered. A reply
    // that arrives twice, as a broadcast may, is still one reply.
    Bracket third = service.TakeBracket(false);
    EXPECT_EQ(third.request, other);
    EXPECT_EQ(third.trailing.rfind(kMarkerStart, 0), 0u) << third.trailing;
    service.Broadcast(CannotOpen(other));
    service.Broadcast(CannotOpen(other));
    service.Broadcast(CannotOpen(third.trailing));

    Outcome outcome = client.get();
    EXPECT_EQ(outcome.output, "2\n" + CannotOpen(other) + "\n");
    EXPECT_EQ(outcome.status, 1);
}

TEST_F(ClientTest, WithoutAProvableReplyItFailsRatherThanPrintAnother)
{
    ScriptedService service;
    std::future<Outcome> client = StartClient("--timeout 1 " + root + "/abc.txt");

    // Every window holds a forged count beside the answer, or nothing at all,
    // or a count without its NUL.
    for (int i = 0; client.wait_for(std::chrono::seconds(0)) != std::future_status::ready; i++) {
        Bracket b = service.TakeBracket(true, 1);
        if (b.trailing.empty())
            break;
        service.Broadcast(CannotOpen(b.leading));
        if (i % 3 == 0) {
            service.Broadcast("2");
            service.Broadcast("7");
        } else if (i % 3 == 2) {
            HANDLE h = CreateFileA("\\\\.\\mailslot\\$Channel2$", GENERIC_WRITE, FILE_SHARE_READ,
                                   NULL, OPEN_EXISTING, 0, NULL);
            DWORD cbWritten = 0;
            WriteFile(h, "2", 1, &cbWritten, NULL);
            CloseHandle(h);
        }
        service.Broadcast(CannotOpen(b.trailing));
    }

    Outcome outcome = client.get();
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.output.rfind("mailslot-client: no reply for", 0), 0u) << outcome.output;
    EXPECT_NE(outcome.output.find("provably its own"), std::string::npos) << outcome.output;
    EXPECT_EQ(std::count(outcome.output.begin(), outcome.output.end(), '\n'), 1) << outcome.output;
}

TEST_F(ClientTest, PathsOfUpTo512BytesAreSentAndLongerOnesRefused)
{
    StartLoop();
    std::string dir = root + "/" + std::string(200, 'd');
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    dir += "/" + std::string(200, 'e');
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    std::string longest = dir + "/" + std::string(512 - dir.size() - 1, 'f');
    ASSERT_EQ(longest.size(), 512u);
    WriteWholeFile(longest, "a b c");

    Outcome counted = RunClient("--timeout 20 " + longest);
    EXPECT_EQ(counted.output, "2\n");
    EXPECT_EQ(counted.status, 0);

    // The cannot-open reply to a long path names only its start.
    std::string missing = longest.substr(0, 511) + "g";
    Outcome shortened = RunClient("--timeout 20 " + missing);
    EXPECT_EQ(shortened.output,
              "(Server)Can't open " + missing.substr(0, REPLY_PATH_MAX) + "...!\n");
    EXPECT_EQ(shortened.status, 1);

    Outcome tooLong = RunClient(longest + "x");
    EXPECT_EQ(tooLong.status, 2);
    EXPECT_NE(tooLong.output.find("longer than the 512 bytes a request holds"), std::string::npos)
        << tooLong.output;
    EXPECT_EQ(ReadWholeFile(LogPath(root)).find(longest + "x"), std::string::npos);
}

} // namespace
