// Mailslots as the stand-in makes them: sockets under $W32_ROOT/mailslot,
// reachable by raw socket clients and other accounts, bounded in memory,
// and safe against a handle closed under a blocked call.
#include <signal.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "posix_child.h"
#include "test_root.h"

namespace {

const size_t kMaxMessage = 64 * 1024;

// Sends one datagram to `path` from a plain socket, as any local program can.
bool send_raw(const std::string &path, const std::string &data)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ssize_t sent = sendto(fd, data.data(), data.size(), 0,
                          reinterpret_cast<sockaddr *>(&address), sizeof address);
    close(fd);
    return sent == ssize_t(data.size());
}

} // namespace

class PosixMailslot : public PlatformTest {
protected:
    void TearDown() override
    {
        if (slot_ != INVALID_HANDLE_VALUE)
            CloseHandle(slot_);
        PlatformTest::TearDown();
    }
    std::string socket_path(const std::string &name) const
    {
        return test_root_path() + "/mailslot/" + name;
    }
    static struct stat stat_of(const std::string &path)
    {
        struct stat st = {};
        lstat(path.c_str(), &st);
        return st;
    }
    DWORD waiting()
    {
        DWORD count = 0;
        EXPECT_TRUE(GetMailslotInfo(slot_, nullptr, nullptr, &count, nullptr));
        return count;
    }

    // Writes numbered messages of `size` bytes, draining into the slot's queue
    // between writes, until a write fails; returns how many were written.
    static int flood(HANDLE slot, HANDLE writer, size_t size, DWORD *error)
    {
        std::string message(size, '.');
        for (int i = 0; i < 5000; ++i) {
            memcpy(&message[0], &i, sizeof i);
            if (!write(writer, message)) {
                *error = GetLastError();
                return i;
            }
            GetMailslotInfo(slot, nullptr, nullptr, nullptr, nullptr);
        }
        *error = 0;
        return 5000;
    }

    static void expect_all_in_order(HANDLE slot, int written, size_t size)
    {
        for (int i = 0; i < written; ++i) {
            std::string message = read(slot, DWORD(size));
            ASSERT_EQ(message.size(), size) << message;
            int number;
            memcpy(&number, message.data(), sizeof number);
            ASSERT_EQ(number, i);
        }
        EXPECT_EQ(read(slot), "<error 121>"); // nothing more
    }

    HANDLE slot_ = INVALID_HANDLE_VALUE;
};

TEST_F(PosixMailslot, SlotIsAPrivateSocketUntilOpenedToAll)
{
    slot_ = CreateMailslotA("\\\\.\\mailslot\\$Channel1$", 0, 0, nullptr);
    ASSERT_NE(slot_, INVALID_HANDLE_VALUE);
    struct stat st = stat_of(socket_path("$Channel1$"));
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(stat_of(test_root_path() + "/mailslot").st_mode & 07777, 01777u);

    EXPECT_EQ(SetSecurityInfo(slot_, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              nullptr, nullptr),
              DWORD(ERROR_SUCCESS));
    EXPECT_EQ(stat_of(socket_path("$Channel1$")).st_mode & 0777, 0666u);

    EXPECT_TRUE(CloseHandle(slot_));
    slot_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(stat_of(socket_path("$Channel1$")).st_mode, 0u); // name given up
    // Nothing else is left behind in the directory.
    EXPECT_EQ(stat_of(test_root_path() + "/mailslot").st_nlink, 2u);
}

TEST_F(PosixMailslot, BadNamesAreRefused)
{
    struct Case {
        std::string name;
        DWORD error;
    } cases[] = {
        {"\\\\.\\mailslot\\", ERROR_INVALID_NAME},
        {"\\\\.\\mailslot\\..", ERROR_INVALID_NAME},
        {"\\\\.\\mailslot\\a/b", ERROR_INVALID_NAME},
        {"\\\\.\\mailslot\\a\\b", ERROR_INVALID_NAME},
        {"\\\\.\\mailslot\\" + std::string(200, 'n'), ERROR_FILENAME_EXCED_RANGE},
        {"\\\\*\\mailslot\\x", ERROR_INVALID_NAME},
        {"\\\\no-such-host.invalid\\mailslot\\x", ERROR_BAD_NETPATH},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(CreateMailslotA(c.name.c_str(), 0, 0, nullptr), INVALID_HANDLE_VALUE) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
    }
    EXPECT_EQ(open_slot_writer("\\\\no-such-host.invalid\\mailslot\\x"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_NETPATH));

    slot_ = CreateMailslotA("\\\\.\\MailSlot\\mixed", 0, 0, nullptr);
    EXPECT_NE(slot_, INVALID_HANDLE_VALUE);
}

TEST_F(PosixMailslot, RawSocketClientSendsWholeMessages)
{
    slot_ = CreateMailslotA("\\\\.\\mailslot\\raw", 0, 0, nullptr);
    ASSERT_NE(slot_, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(send_raw(socket_path("raw"), "exactly these bytes"));
    ASSERT_TRUE(send_raw(socket_path("raw"), std::string(kMaxMessage + 1, 'x'))); // too big
    ASSERT_TRUE(send_raw(socket_path("raw"), ""));
    EXPECT_EQ(waiting(), 2u);
    EXPECT_EQ(read(slot_), "exactly these bytes");
    EXPECT_EQ(read(slot_), "");
}

TEST_F(PosixMailslot, MessagesAreLimitedTo64KiB)
{
    slot_ = CreateMailslotA("\\\\.\\mailslot\\big", 0, 0, nullptr);
    HANDLE writer = open_slot_writer("\\\\.\\mailslot\\big");
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(write(writer, std::string(kMaxMessage + 1, 'x')));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(write(writer, std::string(kMaxMessage, 'y')));
    EXPECT_EQ(read(slot_, DWORD(kMaxMessage)), std::string(kMaxMessage, 'y'));
    CloseHandle(writer);
}

TEST_F(PosixMailslot, WriterLearnsThatTheHolderHasGone)
{
    slot_ = CreateMailslotA("\\\\.\\mailslot\\gone", 0, 0, nullptr);
    HANDLE writer = open_slot_writer("\\\\.\\mailslot\\gone");
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(write(writer, "before"));
    CloseHandle(slot_);
    slot_ = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(write(writer, "after"));
    DWORD error = GetLastError();
    EXPECT_TRUE(error == ERROR_FILE_NOT_FOUND || error == ERROR_BROKEN_PIPE) << error;
    CloseHandle(writer);
}

TEST_F(PosixMailslot, NameOfAKilledProcessIsReclaimed)
{
    const std::string name = "\\\\.\\mailslot\\reclaim";
    pid_t holder = start_child(ChildAction::HoldSlot, name);
    ASSERT_GT(holder, 0);
    HANDLE probe = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 500 && probe == INVALID_HANDLE_VALUE; ++i) {
        probe = open_slot_writer(name);
        if (probe == INVALID_HANDLE_VALUE)
            Sleep(10);
    }
    ASSERT_NE(probe, INVALID_HANDLE_VALUE) << "the child never created its mailslot";
    CloseHandle(probe);
    EXPECT_EQ(CreateMailslotA(name.c_str(), 0, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));

    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_TRUE(S_ISSOCK(stat_of(socket_path("reclaim")).st_mode)); // left behind
    EXPECT_EQ(open_slot_writer(name), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));

    slot_ = CreateMailslotA(name.c_str(), 0, 0, nullptr);
    ASSERT_NE(slot_, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(send_raw(socket_path("reclaim"), "mine"));
    EXPECT_EQ(read(slot_), "mine");
}

TEST_F(PosixMailslot, OtherFileAtTheNameIsLeftAlone)
{
    ASSERT_EQ(mkdir((test_root_path() + "/mailslot").c_str(), 01777), 0);
    ASSERT_EQ(chmod((test_root_path() + "/mailslot").c_str(), 01777), 0);
    ASSERT_EQ(mkdir(socket_path("taken").c_str(), 0755), 0);
    EXPECT_EQ(CreateMailslotA("\\\\.\\mailslot\\taken", 0, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(S_ISDIR(stat_of(socket_path("taken")).st_mode));
}

TEST_F(PosixMailslot, FloodOfMessagesPushesBackOnTheWriter)
{
    slot_ = CreateMailslotA("\\\\.\\mailslot\\flood", 0, 0, nullptr);
    HANDLE writer = open_slot_writer("\\\\.\\mailslot\\flood");
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    DWORD error = 0;
    auto start = std::chrono::steady_clock::now();
    int written = flood(slot_, writer, 8, &error);
    EXPECT_EQ(error, DWORD(ERROR_SEM_TIMEOUT));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(9));
    EXPECT_EQ(waiting(), 1024u); // held in memory; the rest wait in the socket
    EXPECT_GT(written, 1024);
    expect_all_in_order(slot_, written, 8);
    CloseHandle(writer);
}

TEST_F(PosixMailslot, FloodOfLargeMessagesIsBoundedInBytes)
{
    slot_ = CreateMailslotA("\\\\.\\mailslot\\bulk", 0, 0, nullptr);
    HANDLE writer = open_slot_writer("\\\\.\\mailslot\\bulk");
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    DWORD error = 0;
    int written = flood(slot_, writer, kMaxMessage, &error);
    EXPECT_EQ(error, DWORD(ERROR_SEM_TIMEOUT));
    EXPECT_EQ(waiting(), 16u); // 1 MiB of 64 KiB messages
    expect_all_in_order(slot_, written, kMaxMessage);
    CloseHandle(writer);
}

TEST_F(PosixMailslot, CloseWakesABlockedReader)
{
    const std::string name = "\\\\.\\mailslot\\blocked";
    slot_ = CreateMailslotA(name.c_str(), 0, MAILSLOT_WAIT_FOREVER, nullptr);
    ASSERT_NE(slot_, INVALID_HANDLE_VALUE);
    std::string result;
    std::thread reader([&] { result = read(slot_); });
    Sleep(200);
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(CloseHandle(slot_));
    reader.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(result, "<error 6>"); // ERROR_INVALID_HANDLE
    slot_ = CreateMailslotA(name.c_str(), 0, 0, nullptr); // the name is free again
    EXPECT_NE(slot_, INVALID_HANDLE_VALUE);
}

TEST_F(PosixMailslot, CloseWakesABlockedWriter)
{
    slot_ = CreateMailslotA("\\\\.\\mailslot\\full", 0, 0, nullptr);
    HANDLE writer = open_slot_writer("\\\\.\\mailslot\\full");
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    std::atomic<DWORD> error{0};
    std::thread filler([&] {
        while (write(writer, "fill")) {
        }
        error = GetLastError();
    });
    Sleep(300); // the socket's queue is full by now: the writer waits
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(CloseHandle(writer));
    filler.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(error.load(), DWORD(ERROR_INVALID_HANDLE));
}

TEST_F(PosixMailslot, OtherAccountWritesOnlyAfterANullDacl)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run a child as nobody";
    const std::string name = "\\\\.\\mailslot\\open_to_all";
    slot_ = CreateMailslotA(name.c_str(), 0, 0, nullptr);
    ASSERT_NE(slot_, INVALID_HANDLE_VALUE);
    int before = run_child(ChildAction::WriteSlot, name, true);
    if (before == kChildDidNotRun)
        GTEST_SKIP() << "nobody cannot run this test program";
    EXPECT_EQ(before, int(ERROR_ACCESS_DENIED));
    EXPECT_EQ(waiting(), 0u);

    ASSERT_EQ(SetSecurityInfo(slot_, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              nullptr, nullptr),
              DWORD(ERROR_SUCCESS));
    EXPECT_EQ(run_child(ChildAction::WriteSlot, name, true), 0);
    EXPECT_EQ(read(slot_), "hello");
}
