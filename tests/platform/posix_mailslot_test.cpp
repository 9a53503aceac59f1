// Mailslots as the stand-in makes them: names owned by their live holder
// only, sockets under $W32_ROOT/mailslot for raw socket clients, other
// accounts held to the slot's rules, bounded in memory, and safe against a
// handle closed under a blocked call.
#include <ctype.h>
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/posix/mailslot_extensions.h"
#include "posix_child.h"
#include "support/slots.h"
#include "support/wait.h"
#include "test_root.h"

namespace {

const size_t kMaxMessage = 64 * 1024;

// Sends one datagram from `fd` to an abstract address, optionally passing
// a descriptor along with it.
bool send_abstract(int fd, const std::string &name, const std::string &data, int passed = -1)
{
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path + 1, name.data(), name.size());
    iovec part = {const_cast<char *>(data.data()), data.size()};
    msghdr msg = {};
    msg.msg_name = &address;
    msg.msg_namelen = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    msg.msg_iov = &part;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (passed >= 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr *c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        memcpy(CMSG_DATA(c), &passed, sizeof passed);
    }
    return sendmsg(fd, &msg, 0) == ssize_t(data.size());
}

bool readable_within(int fd, int ms)
{
    pollfd waiter = {fd, POLLIN, 0};
    return poll(&waiter, 1, ms) == 1;
}

int open_descriptors()
{
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (dir && readdir(dir))
        ++count;
    if (dir)
        closedir(dir);
    return count;
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
    static std::string socket_path(const std::string &name) { return at("mailslot/" + name); }
    static struct stat stat_of(const std::string &path)
    {
        struct stat st = {};
        lstat(path.c_str(), &st);
        return st;
    }
    void make_mailslot_dir() const
    {
        std::string dir = at("mailslot");
        ASSERT_EQ(mkdir(dir.c_str(), 01777), 0);
        ASSERT_EQ(chmod(dir.c_str(), 01777), 0);
    }
    // The abstract address (without its leading NUL) of a slot's holder.
    std::string holder_name(const std::string &name) const
    {
        struct stat dir = stat_of(at("mailslot"));
        char machine[40];
        snprintf(machine, sizeof machine, "%llx:%llx/", (unsigned long long)dir.st_dev,
                 (unsigned long long)dir.st_ino);
        std::string lower = name;
        for (char &c : lower)
            c = char(tolower((unsigned char)c));
        return "w32-mailslot/" + std::string(machine) + lower;
    }
    // Waits until a child's slot answers a direct open.
    static bool wait_for_holder(const std::string &name)
    {
        return WaitUntil([&] {
            HANDLE probe = open_slot_writer(name);
            return probe != INVALID_HANDLE_VALUE && CloseHandle(probe);
        }, 5);
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
    EXPECT_EQ(stat_of(at("mailslot")).st_mode & 07777, 01777u);

    EXPECT_EQ(SetSecurityInfo(slot_, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              nullptr, nullptr),
              DWORD(ERROR_SUCCESS));
    EXPECT_EQ(stat_of(socket_path("$Channel1$")).st_mode & 0777, 0666u);

    EXPECT_TRUE(CloseHandle(slot_));
    slot_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(stat_of(socket_path("$Channel1$")).st_mode, 0u); // name given up
    // Nothing else is left behind in the directory.
    EXPECT_EQ(stat_of(at("mailslot")).st_nlink, 2u);
}

TEST_F(PosixMailslot, BadNamesAreRefused)
{
    const std::string longest = "\\\\.\\mailslot\\" + std::string(60, 'n');
    const std::string too_long = longest + "n";
    struct Case {
        std::string name;
        DWORD error;
    } cases[] = {
        {"\\\\.\\mailslot\\", ERROR_INVALID_NAME},
        {"\\\\.\\mailslot\\..", ERROR_INVALID_NAME},
        {"\\\\.\\mailslot\\a/b", ERROR_INVALID_NAME},
        {"\\\\.\\mailslot\\a\\b", ERROR_INVALID_NAME},
        {too_long, ERROR_FILENAME_EXCED_RANGE},
        {"\\\\.\\mailslot\\" + std::string(200, 'n'), ERROR_FILENAME_EXCED_RANGE},
        {"\\\\*\\mailslot\\x", ERROR_INVALID_NAME},
        {"\\\\no-such-host.invalid\\mailslot\\x", ERROR_BAD_NETPATH},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(CreateMailslotA(c.name.c_str(), 0, 0, nullptr), INVALID_HANDLE_VALUE) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
    }
    for (std::string writer : {too_long, "\\\\*\\mailslot\\" + std::string(61, 'n'),
                               std::string("\\\\no-such-host.invalid\\mailslot\\x")}) {
        EXPECT_EQ(open_slot_writer(writer), INVALID_HANDLE_VALUE) << writer;
        EXPECT_EQ(GetLastError(), writer == too_long || writer[2] == '*'
                                      ? DWORD(ERROR_FILENAME_EXCED_RANGE)
                                      : DWORD(ERROR_BAD_NETPATH));
    }

    // The longest name works end to end, in either form of "mailslot".
    slot_ = CreateMailslotA(("\\\\.\\MailSlot\\" + std::string(60, 'n')).c_str(), 0, 0, nullptr);
    ASSERT_NE(slot_, INVALID_HANDLE_VALUE) << GetLastError();
    HANDLE writer = open_slot_writer(longest);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(write(writer, "longest"));
    EXPECT_EQ(read(slot_), "longest");
    CloseHandle(writer);
}

TEST_F(PosixMailslot, RawSocketClientSendsWholeMessagesOfAnySize)
{
    slot_ = CreateMailslotA("\\\\.\\mailslot\\raw", 0, 0, nullptr);
    ASSERT_NE(slot_, INVALID_HANDLE_VALUE);
    const std::string large(100 * 1024, 'x'); // more than a layer writer may send
    ASSERT_TRUE(SendDatagram(socket_path("raw"), "exactly these bytes"));
    ASSERT_TRUE(SendDatagram(socket_path("raw"), large));
    ASSERT_TRUE(SendDatagram(socket_path("raw"), ""));
    EXPECT_EQ(waiting(), 3u);
    EXPECT_EQ(read(slot_), "exactly these bytes");
    DWORD next = 0;
    ASSERT_TRUE(GetMailslotInfo(slot_, nullptr, &next, nullptr, nullptr));
    EXPECT_EQ(next, large.size());
    EXPECT_EQ(read(slot_, next), large);
    EXPECT_EQ(read(slot_), "");

    if (geteuid() != 0)
        return;
    // Only root can send more than the kernel's usual buffer: 1 MiB is still
    // taken whole (into the empty queue); a larger datagram is not kept, but
    // its reader hears of it: every read of it fails with
    // ERROR_INSUFFICIENT_BUFFER, the one with room for it takes it off.
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    int buffer = 4 << 20;
    ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &buffer, sizeof buffer), 0);
    const std::string mib(1 << 20, 'm');
    for (const std::string &data : {mib + "m", mib}) {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, socket_path("raw").c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr *>(&address),
                         sizeof address),
                  ssize_t(data.size()));
    }
    close(fd);
    EXPECT_EQ(waiting(), 2u);
    EXPECT_EQ(read(slot_, 4096), "<error 122>");
    EXPECT_EQ(read(slot_, DWORD(2 * mib.size())), "<error 122>");
    EXPECT_EQ(read(slot_, DWORD(2 * mib.size())), mib);
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
    const std::string name = "\\\\.\\mailslot\\Reclaim";
    pid_t holder = start_child(ChildAction::HoldSlot, name);
    ASSERT_GT(holder, 0);
    ASSERT_TRUE(wait_for_holder(name)) << "the child never created its mailslot";
    // Held by a live process, the name is taken in any case.
    for (const char *taken : {"\\\\.\\mailslot\\Reclaim", "\\\\.\\mailslot\\RECLAIM"}) {
        EXPECT_EQ(CreateMailslotA(taken, 0, 0, nullptr), INVALID_HANDLE_VALUE) << taken;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS)) << taken;
    }

    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_TRUE(S_ISSOCK(stat_of(socket_path("Reclaim")).st_mode)); // left behind
    EXPECT_EQ(open_slot_writer(name), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));

    slot_ = CreateMailslotA(name.c_str(), 0, 0, nullptr);
    ASSERT_NE(slot_, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(SendDatagram(socket_path("Reclaim"), "mine"));
    EXPECT_EQ(read(slot_), "mine");
}

TEST_F(PosixMailslot, NameIsCaseInsensitiveButTheFileKeepsItsCase)
{
    slot_ = CreateMailslotA("\\\\.\\mailslot\\MixedCase", 0, 0, nullptr);
    ASSERT_NE(slot_, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(S_ISSOCK(stat_of(socket_path("MixedCase")).st_mode));
    EXPECT_EQ(stat_of(socket_path("mixedcase")).st_mode, 0u);
    HANDLE direct = open_slot_writer("\\\\.\\mailslot\\mixedCASE");
    HANDLE broadcast = open_slot_writer("\\\\*\\mailslot\\MIXEDCASE");
    ASSERT_NE(direct, INVALID_HANDLE_VALUE);
    ASSERT_NE(broadcast, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(write(direct, "direct"));
    EXPECT_TRUE(write(broadcast, "broadcast"));
    EXPECT_EQ(read(slot_), "direct");
    EXPECT_EQ(read(slot_), "broadcast");
    CloseHandle(direct);
    CloseHandle(broadcast);

    // Beyond ASCII too, as long as the name's folded form fits.
    HANDLE accented = CreateMailslotA("\\\\.\\mailslot\\café", 0, 0, nullptr);
    ASSERT_NE(accented, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateMailslotA("\\\\.\\mailslot\\CAFÉ", 0, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(open_slot_writer("\\\\.\\mailslot\\cafe"), INVALID_HANDLE_VALUE);
    HANDLE upper = open_slot_writer("\\\\.\\mailslot\\CAFÉ");
    ASSERT_NE(upper, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(write(upper, "é"));
    EXPECT_EQ(read(accented), "é");
    CloseHandle(upper);
    CloseHandle(accented);
}

TEST_F(PosixMailslot, LeftoversAtTheNameNeverBlockANewSlot)
{
    make_mailslot_dir();
    // A leftover this account, or (as root) nobody, left: the slot takes its
    // name over, and raw clients reach the new slot there.
    for (bool as_nobody : {false, true}) {
        if (as_nobody && geteuid() != 0)
            continue;
        for (std::string kind : {"file", "link", "socket", "dir"}) {
            std::string name = kind + (as_nobody ? "_nobody" : "_mine");
            int planted = run_child(ChildAction::Plant, kind + ":" + socket_path(name), as_nobody);
            if (planted == kChildDidNotRun)
                GTEST_SKIP() << "nobody cannot run this test program";
            ASSERT_EQ(planted, 0) << name;
            HANDLE slot = CreateMailslotA(("\\\\.\\mailslot\\" + name).c_str(), 0, 0, nullptr);
            ASSERT_NE(slot, INVALID_HANDLE_VALUE) << name << ": " << GetLastError();
            struct stat st = stat_of(socket_path(name));
            EXPECT_TRUE(S_ISSOCK(st.st_mode)) << name;
            EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
            EXPECT_EQ(st.st_uid, geteuid()) << name;
            EXPECT_TRUE(SendDatagram(socket_path(name), name));
            EXPECT_EQ(read(slot, 4096), name);
            CloseHandle(slot);
        }
    }
    EXPECT_EQ(stat_of("/etc/passwd").st_mode & S_IFMT, S_IFREG); // a link's target is left alone

    // What cannot be taken over stays, and the name is not the slot's: the
    // create fails as for a name already held, and leaves the name free. A
    // directory with something in it...
    ASSERT_EQ(mkdir(socket_path("full").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(socket_path("full/inside").c_str(), 0755), 0);
    EXPECT_EQ(CreateMailslotA("\\\\.\\mailslot\\full", 0, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(S_ISDIR(stat_of(socket_path("full")).st_mode));
    EXPECT_EQ(open_slot_writer("\\\\.\\mailslot\\full"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    if (geteuid() != 0)
        return;
    // ...and, for another account, a file or a live socket it may not remove,
    // which would take raw clients' requests.
    FILE *roots = fopen(socket_path("roots").c_str(), "w");
    ASSERT_NE(roots, nullptr);
    fclose(roots);
    int live = BindSocket(socket_path("live"), SOCK_DGRAM);
    ASSERT_GE(live, 0);
    for (const char *name : {"roots", "live"}) {
        EXPECT_EQ(run_child(ChildAction::CreateSlot, std::string("\\\\.\\mailslot\\") + name, true),
                  125) << name; // ERROR_ALREADY_EXISTS, capped
        EXPECT_EQ(stat_of(socket_path(name)).st_uid, 0u) << name;
    }
    EXPECT_TRUE(S_ISSOCK(stat_of(socket_path("live")).st_mode));
    close(live);
}

TEST_F(PosixMailslot, LookupsCreateNothing)
{
    const std::string absent = test_root_path() + "/absent";
    for (const std::string &root : {absent, test_root_path()}) {
        setenv("W32_ROOT", root.c_str(), 1);
        EXPECT_EQ(open_slot_writer("\\\\.\\mailslot\\x"), INVALID_HANDLE_VALUE) << root;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND)) << root;
        HANDLE broadcast = open_slot_writer("\\\\*\\mailslot\\x");
        ASSERT_NE(broadcast, INVALID_HANDLE_VALUE) << root;
        EXPECT_TRUE(write(broadcast, "nobody hears this"));
        CloseHandle(broadcast);
        EXPECT_EQ(stat_of(root + "/mailslot").st_mode, 0u) << root;
    }
    EXPECT_EQ(stat_of(absent).st_mode, 0u);
}

TEST_F(PosixMailslot, ABurstOfAThousandNeedsNoReader)
{
    slot_ = CreateMailslotA("\\\\.\\mailslot\\burst", 0, 0, nullptr);
    HANDLE writer = open_slot_writer("\\\\.\\mailslot\\burst");
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    auto start = std::chrono::steady_clock::now();
    std::string message(8, '.');
    for (int i = 0; i < 1000; ++i) {
        memcpy(&message[0], &i, sizeof i);
        ASSERT_TRUE(write(writer, message)) << "message " << i << ": error " << GetLastError();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    expect_all_in_order(slot_, 1000, 8);
    CloseHandle(writer);
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

TEST_F(PosixMailslot, ClosingWhileDatagramsArriveIsSafeAndFreesTheName)
{
    std::atomic<bool> done{false};
    std::thread sender([&] {
        HANDLE broadcast = open_slot_writer("\\\\*\\mailslot\\busy");
        while (!done.load())
            write(broadcast, "busy");
        CloseHandle(broadcast);
    });
    for (int i = 0; i < 200; ++i) {
        HANDLE slot = CreateMailslotA("\\\\.\\mailslot\\busy", 0, 0, nullptr);
        ASSERT_NE(slot, INVALID_HANDLE_VALUE) << "round " << i << ": " << GetLastError();
        if (i % 2)
            GetMailslotInfo(slot, nullptr, nullptr, nullptr, nullptr);
        ASSERT_TRUE(CloseHandle(slot));
    }
    done = true;
    sender.join();
}

TEST_F(PosixMailslot, AFloodFromOneAccountNeverCrowdsOutAnothersMessage)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run a child as nobody";
    const std::string name = "\\\\.\\mailslot\\crowded";
    slot_ = CreateMailslotA(name.c_str(), 0, 0, nullptr);
    ASSERT_NE(slot_, INVALID_HANDLE_VALUE);
    ASSERT_EQ(SetSecurityInfo(slot_, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr),
              DWORD(NO_ERROR));
    HANDLE mine = open_slot_writer(name.c_str());
    EXPECT_TRUE(write(mine, "first"));
    // Nobody's writes never wait: what does not fit is lost, and only nobody's.
    int flooded = run_child(ChildAction::Flood, name, true);
    if (flooded == kChildDidNotRun)
        GTEST_SKIP() << "nobody cannot run this test program";
    ASSERT_EQ(flooded, 0);
    EXPECT_EQ(waiting(), 1024u);
    EXPECT_TRUE(write(mine, "second"));
    EXPECT_EQ(waiting(), 1024u) << "room made from nobody's share";
    // Accounts take turns: this account's messages come every other read.
    EXPECT_EQ(read(slot_), "first");
    EXPECT_EQ(read(slot_), "flood");
    EXPECT_EQ(read(slot_), "second");
    EXPECT_EQ(read(slot_), "flood");
    CloseHandle(mine);

    // A reader that takes only some accounts' messages gets nothing else.
    ASSERT_EQ(w32::mailslot_accept_only(slot_, {geteuid()}), NO_ERROR);
    while (waiting() > 0)
        read(slot_);
    EXPECT_EQ(run_child(ChildAction::Flood, name, true), int(ERROR_ACCESS_DENIED));
    EXPECT_EQ(waiting(), 0u);
    uid_t holder = 1;
    EXPECT_EQ(w32::mailslot_holder_account(name.c_str(), &holder), NO_ERROR);
    EXPECT_EQ(holder, geteuid());
    EXPECT_EQ(w32::mailslot_holder_account("\\\\.\\mailslot\\none", &holder),
              DWORD(ERROR_FILE_NOT_FOUND));
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
    // A broadcast reaches any slot, as one from the network would.
    EXPECT_EQ(run_child(ChildAction::WriteSlot, "\\\\*\\mailslot\\OPEN_to_all", true), 0);
    EXPECT_EQ(read(slot_), "hello");

    ASSERT_EQ(SetSecurityInfo(slot_, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              nullptr, nullptr),
              DWORD(ERROR_SUCCESS));
    EXPECT_EQ(run_child(ChildAction::WriteSlot, name, true), 0);
    EXPECT_EQ(read(slot_), "hello");
}

TEST_F(PosixMailslot, DatagramsThatBreakTheRulesAreDropped)
{
    slot_ = CreateMailslotA("\\\\.\\mailslot\\Rules", 0, 0, nullptr);
    ASSERT_NE(slot_, INVALID_HANDLE_VALUE);
    const std::string holder = holder_name("Rules");
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    const int descriptors = open_descriptors();
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    EXPECT_TRUE(send_abstract(fd, holder, ""));                           // no kind
    EXPECT_TRUE(send_abstract(fd, holder, "Xunknown kind"));
    EXPECT_TRUE(send_abstract(fd, holder, "B" + std::string(425, 'b'))); // too long a broadcast
    EXPECT_TRUE(send_abstract(fd, holder, "Bbroadcast"));
    EXPECT_TRUE(send_abstract(fd, holder, "Dwith a descriptor", pipe_ends[0]));
    close(pipe_ends[0]);
    close(pipe_ends[1]);
    if (geteuid() == 0) {
        int sent = run_child(ChildAction::SendToHolder, holder, true); // from nobody
        EXPECT_TRUE(sent == 0 || sent == kChildDidNotRun) << sent;
    }
    EXPECT_EQ(waiting(), 2u);
    EXPECT_EQ(read(slot_), "broadcast");
    EXPECT_EQ(read(slot_), "with a descriptor");
    EXPECT_EQ(open_descriptors(), descriptors); // the one passed along was not taken
    close(fd);

    // A probe is answered at an abstract address only: one at a path could
    // be swapped for another socket's by then.
    std::string path = at("prober");
    int at_path = BindSocket(path, SOCK_DGRAM), autobound = socket(AF_UNIX, SOCK_DGRAM, 0);
    ASSERT_GE(at_path, 0);
    sa_family_t family_only = AF_UNIX;
    ASSERT_EQ(bind(autobound, reinterpret_cast<sockaddr *>(&family_only), sizeof family_only), 0);
    EXPECT_TRUE(send_abstract(at_path, holder, "P"));
    EXPECT_TRUE(send_abstract(autobound, holder, "P"));
    EXPECT_TRUE(readable_within(autobound, 2000));
    EXPECT_FALSE(readable_within(at_path, 200));
    close(at_path);
    close(autobound);
    EXPECT_EQ(waiting(), 0u);
}

TEST_F(PosixMailslot, DirectOpenOfAHolderThatDoesNotAnswerTimesOut)
{
    const std::string name = "\\\\.\\mailslot\\stopped";
    pid_t holder = start_child(ChildAction::HoldSlot, name);
    ASSERT_GT(holder, 0);
    ASSERT_TRUE(wait_for_holder(name));
    kill(holder, SIGSTOP);
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, WUNTRACED), holder); // stopped for sure
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(open_slot_writer(name), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SEM_TIMEOUT));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(9));
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
}

