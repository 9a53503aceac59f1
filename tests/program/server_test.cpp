// The request loop, running on a thread of its own against the real layer,
// answered through real mailslots.
#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "mailslot/mailslot.h"
#include "platform/posix/kernel_calls.h"
#include "program_fixture.h"
#include "support/child.h"

namespace {

const double kReplySeconds = 3;

class ServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        machine = new MachineRoot(0755);
        root = &machine->path();
        ASSERT_EQ(InitMailslot(), 0);
        loop = new std::thread(RunMailslotServer);
        // Tests look at the log from their own start: let the loop's first line land.
        WaitForText(LogPath(*root), "Mailslot server demo\n", kReplySeconds);
        reply = CreateMailslotA("\\\\.\\mailslot\\$Channel2$", 0, 0, NULL);
        ASSERT_NE(reply, INVALID_HANDLE_VALUE);
    }

    static void TearDownTestSuite()
    {
        StopMailslotServer();
        CloseMailslot();
        loop->join();
        CloseHandle(reply);
        delete loop;
        delete machine;
    }

    void SetUp() override { logStart = ReadWholeFile(LogPath(*root)).size(); }

    // The log lines written since the test began, once `last` has appeared.
    std::string LogSince(const std::string &last)
    {
        return WaitForGrowth(LogPath(*root), logStart, last, kReplySeconds);
    }

    // Sends a path request and returns the reply, NUL included.
    std::string Ask(const std::string &request)
    {
        EXPECT_TRUE(SendRequest(request));
        std::string message;
        EXPECT_TRUE(WaitForMessage(reply, &message, kReplySeconds)) << request;
        return message;
    }

    std::string File(const std::string &name, const std::string &content)
    {
        std::string path = *root + "/" + name;
        WriteWholeFile(path, content);
        return path;
    }

    static MachineRoot *machine;
    static const std::string *root;
    static std::thread *loop;
    static HANDLE reply;
    size_t logStart = 0;
};

MachineRoot *ServerTest::machine;
const std::string *ServerTest::root;
std::thread *ServerTest::loop;
HANDLE ServerTest::reply;

// The lines for a request that cannot be opened; `logged`: the request as
// the log shows it, when it holds control characters.
std::string CannotOpenLines(const std::string &request, const std::string &path,
                            std::string logged = "")
{
    if (logged.empty())
        logged = request;
    std::string loggedPath = request == path ? logged : path;
    return "Received: <" + logged + ">\n\r\n(Server)Can't open " + loggedPath +
           "!\r\nBytes sent " + std::to_string(20 + path.size() + 1) + "\n\r\n";
}

TEST_F(ServerTest, CountsSpacesAndReportsThem)
{
    struct Case {
        const char *name;
        std::string content;
        std::string count;
    } cases[] = {
        {"five", "a b c", "2"},
        {"empty", "", "0"},
        {"ten", std::string(10, ' '), "10"},
        {"tab", "\t ", "1"},
        {"crlf", "a b\r\nc d\r\n", "2"},
        {"mark", "a b\x1A c d e", "1"},
    };
    std::string expected;
    for (const Case &c : cases) {
        std::string path = File(c.name, c.content);
        EXPECT_EQ(Ask(path), c.count + std::string(1, '\0')) << c.name;
        expected += CountLines(path, c.count);
    }
    EXPECT_EQ(LogSince(expected.substr(expected.rfind("Received"))), expected);
}

TEST_F(ServerTest, ExitIsLoggedAndNeverAnswered)
{
    ASSERT_TRUE(SendRequest("exit"));
    ASSERT_TRUE(SendRequest(std::string("exit\0ignored", 12)));
    std::string log = LogSince("Client exited!\n\r\nReceived: <exit>\n\r\nClient exited!\n\r\n");
    EXPECT_EQ(log, "Received: <exit>\n\r\nClient exited!\n\r\n"
                   "Received: <exit>\n\r\nClient exited!\n\r\n");
    std::string message;
    EXPECT_FALSE(WaitForMessage(reply, &message, 0.6));
}

TEST_F(ServerTest, ExitLookAlikesAreTreatedAsPathsAndLoggedEscaped)
{
    // The reply names the path as sent; the log shows its control characters
    // escaped, so a request never writes a line of its own choosing.
    std::string expected;
    const char *requests[][2] = {{"EXIT", "EXIT"}, {"exit\n", "exit\\n"}, {" exit", " exit"},
                                 {"/x\r\nMailSlot Service stopped!", "/x\\r\\nMailSlot Service stopped!"}};
    for (auto &request : requests) {
        std::string answer = Ask(request[0]);
        EXPECT_EQ(answer, "(Server)Can't open " + std::string(request[0]) + "!" + std::string(1, '\0'));
        expected += CannotOpenLines(request[0], request[0], request[1]);
    }
    EXPECT_EQ(LogSince(expected.substr(expected.rfind("Received"))), expected);
}

TEST_F(ServerTest, EmptyAndMissingNamesGetTheCannotOpenReply)
{
    std::string answer = Ask("");
    EXPECT_EQ(answer, std::string("(Server)Can't open !\0", 21));
    answer = Ask(std::string("\0/etc/passwd", 12)); // nothing before the NUL counts
    EXPECT_EQ(answer.size(), 21u);

    std::string missing = *root + "/missing";
    EXPECT_EQ(Ask(missing), "(Server)Can't open " + missing + "!" + std::string(1, '\0'));
    EXPECT_EQ(LogSince(CannotOpenLines(missing, missing)),
              CannotOpenLines("", "") + CannotOpenLines("", "") +
                  CannotOpenLines(missing, missing));
}

// The layer's reads as a failing disk makes them: the first goes through,
// every later one fails with EIO.
std::atomic<int> readsDone{0};
ssize_t FailAfterFirstRead(int fd, void *buffer, size_t size)
{
    if (readsDone++ > 0) {
        errno = EIO;
        return -1;
    }
    return w32::real_kernel_calls().read(fd, buffer, size);
}

TEST_F(ServerTest, AFileThatFailsToReadMidwayGetsTheCannotOpenReplyNotAPartialCount)
{
    std::string path = File("failing", std::string(3 << 20, ' ')); // several blocks
    w32::KernelCalls calls = w32::real_kernel_calls();
    calls.read = FailAfterFirstRead;
    w32::replace_kernel_calls(&calls);
    std::string answer = Ask(path);
    w32::restore_kernel_calls();
    // Two readers take blocks in turn: the one besides the failing read may
    // have begun the next block, and nothing is read after that.
    EXPECT_GE(readsDone.load(), 2);
    EXPECT_LE(readsDone.load(), 3);
    EXPECT_EQ(answer, "(Server)Can't open " + path + "!" + std::string(1, '\0'));
    EXPECT_EQ(LogSince(CannotOpenLines(path, path)), CannotOpenLines(path, path));
}

TEST_F(ServerTest, OnlyRegularFilesAreCounted)
{
    std::string dir = *root + "/dir";
    std::string fifo = *root + "/fifo"; // no writer: opening it must not block
    std::string socketFile = *root + "/socket";
    std::string link = *root + "/link"; // to a device
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    ASSERT_EQ(symlink("/dev/zero", link.c_str()), 0);
    int listener = BindSocket(socketFile, SOCK_STREAM);
    ASSERT_GE(listener, 0);

    // /dev/zero never ends; /proc/self/mem looks like a file but is the kernel's.
    for (std::string path : {dir, fifo, socketFile, link, std::string("/dev/zero"),
                             std::string("/dev/null"), std::string("/proc/self/mem")}) {
        std::string answer = Ask(path);
        EXPECT_EQ(answer, "(Server)Can't open " + path + "!" + std::string(1, '\0'));
    }
    close(listener);
    EXPECT_EQ(Ask(File("after", " ")), std::string("1\0", 2)); // the loop goes on
}

TEST_F(ServerTest, AFifoIsNotOpenedSoAWriterWaitingOnItStaysWaiting)
{
    std::string fifo = *root + "/waited_on";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    std::atomic<int> writer{-1};
    std::thread opener([&] { writer = open(fifo.c_str(), O_WRONLY | O_CLOEXEC); });
    Sleep(100); // the writer waits for a reader

    EXPECT_EQ(Ask(fifo), "(Server)Can't open " + fifo + "!" + std::string(1, '\0'));
    EXPECT_EQ(writer.load(), -1) << "the service opened the FIFO and released its writer";

    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    opener.join();
    close(reader);
    close(writer);
}

TEST_F(ServerTest, DeviceNamesAreRefusedAndEchoedAsReceived)
{
    std::string expected;
    for (std::string name :
         {"NUL", "CON", "COM1", "\\\\.\\PhysicalDrive0", "\\\\.\\C:", "\\\\.\\NUL",
          "\\\\?\\GLOBALROOT\\Device\\Null", "\\\\host\\pipe\\x",
          "\\\\.\\mailslot\\$Channel1$"}) {
        EXPECT_EQ(Ask(name), "(Server)Can't open " + name + "!" + std::string(1, '\0'));
        expected += CannotOpenLines(name, name);
    }
    EXPECT_EQ(LogSince(CannotOpenLines("\\\\.\\mailslot\\$Channel1$",
                                       "\\\\.\\mailslot\\$Channel1$")),
              expected);
}

TEST_F(ServerTest, DrivePathsAreCountedWithOrWithoutTheLongPathPrefix)
{
    WriteWholeFile(*root + "/drive_c/abc.txt", "a b c");
    EXPECT_EQ(Ask("C:\\abc.txt"), std::string("2\0", 2));
    EXPECT_EQ(Ask("\\\\?\\C:\\abc.txt"), std::string("2\0", 2));
    EXPECT_EQ(LogSince(CountLines("\\\\?\\C:\\abc.txt", "2")),
              CountLines("C:\\abc.txt", "2") + CountLines("\\\\?\\C:\\abc.txt", "2"));
}

TEST_F(ServerTest, FullLengthRequestsAreLoggedWholeAndRepliesStayWithinABroadcast)
{
    // 512 bytes with no NUL of their own: the whole buffer is the path.
    std::string path = *root + "/";
    path += std::string(512 - path.size(), 'p');
    ASSERT_EQ(path.size(), 512u);
    std::string answer = Ask(path);
    ASSERT_LE(answer.size(), 424u);
    EXPECT_EQ(answer.back(), '\0');
    EXPECT_EQ(answer.find('\0'), answer.size() - 1);
    EXPECT_EQ(answer.compare(0, 19, "(Server)Can't open "), 0);
    EXPECT_EQ(answer.substr(answer.size() - 5), "...!" + std::string(1, '\0'));

    std::string log = LogSince("Bytes sent");
    EXPECT_EQ(log, "Received: <" + path + ">\n\r\n(Server)Can't open " + path +
                       "!\r\nBytes sent " + std::to_string(answer.size()) + "\n\r\n");
}

TEST_F(ServerTest, OversizeMessagesAreDroppedOnceAndTheNextIsServed)
{
    // 600 bytes from a layer writer, then 100 KiB from a raw socket client,
    // more than a layer writer may send: each is refused once and taken off.
    const std::string served = "ReadFile: Error 122\n\r\nReceived: <exit>\n\r\nClient exited!\n\r\n";
    ASSERT_TRUE(SendRequest(std::string(600, 'x')));
    ASSERT_TRUE(SendRequest("exit"));
    ASSERT_TRUE(SendDatagram(*root + "/mailslot/$Channel1$", std::string(100 * 1024, 'y')));
    ASSERT_TRUE(SendRequest("exit"));
    EXPECT_EQ(LogSince(served + served), served + served);
}

TEST_F(ServerTest, AnotherAccountCanSendRequests)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another account";
    RunResult client = RunProgram({MAILSLOT_CLIENT, "--exit"}, *root, 30, true);
    ASSERT_EQ(client.exitCode, 0) << client.err;
    EXPECT_EQ(LogSince("Client exited!\n"), "Received: <exit>\n\r\nClient exited!\n\r\n");
}

TEST_F(ServerTest, RequestsAreAnsweredInOrderAboutHalfASecondApart)
{
    std::string first = File("first", " "), second = File("second", "  ");
    ASSERT_TRUE(SendRequest(first));
    ASSERT_TRUE(SendRequest(second));
    std::string a, b;
    ASSERT_TRUE(WaitForMessage(reply, &a, kReplySeconds));
    DWORD t0 = GetTickCount();
    ASSERT_TRUE(WaitForMessage(reply, &b, kReplySeconds));
    DWORD gap = GetTickCount() - t0;
    EXPECT_EQ(a, std::string("1\0", 2));
    EXPECT_EQ(b, std::string("2\0", 2));
    EXPECT_GE(gap, 400u);
    EXPECT_LE(gap, 1000u);
}

} // namespace
