// Files as the stand-in opens them: special files, other processes, the
// descriptor's flags and the handle table's reuse of slots.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "posix_child.h"
#include "support/slots.h"
#include "test_root.h"

class PosixFile : public PlatformTest {};

TEST_F(PosixFile, FifoWithoutWriterNeitherHangsNorBlocks)
{
    std::string fifo = at("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto start = std::chrono::steady_clock::now();
    HANDLE h = open(fifo, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileType(h), DWORD(FILE_TYPE_PIPE));
    EXPECT_EQ(read(h), ""); // no writer: nothing to read
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    CloseHandle(h);
}

TEST_F(PosixFile, WritingToAPipeWithoutReaderFailsInsteadOfKilling)
{
    std::string fifo = at("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    HANDLE h = open(fifo, GENERIC_WRITE, FILE_SHARE_WRITE, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    close(reader);
    EXPECT_FALSE(write(h, "nobody reads this")); // no SIGPIPE: we are still here
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BROKEN_PIPE));
    CloseHandle(h);
}

TEST_F(PosixFile, CharacterDeviceIsNotADisk)
{
    HANDLE h = open("/dev/zero", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileType(h), DWORD(FILE_TYPE_CHAR));
    EXPECT_EQ(read(h, 8), std::string(8, '\0'));
    CloseHandle(h);
}

TEST_F(PosixFile, LookingAtAFifoLeavesItsWriterWaiting)
{
    std::string fifo = at("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::atomic<int> writer{-1};
    std::thread opener([&] { writer = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC); });
    Sleep(100); // the writer waits for a reader

    HANDLE h = open(fifo, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileType(h), DWORD(FILE_TYPE_PIPE));
    EXPECT_EQ(ReOpenFile(h, GENERIC_READ, FILE_SHARE_READ, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    Sleep(100);
    EXPECT_EQ(writer.load(), -1) << "the look released the writer";
    CloseHandle(h);

    int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    opener.join();
    close(reader);
    close(writer);
}

TEST_F(PosixFile, DevicesKernelFilesAndSocketsAreLookedAtButNeverReopened)
{
    std::string socket_path = at("socket");
    int listener = BindSocket(socket_path, SOCK_STREAM);
    ASSERT_GE(listener, 0);

    struct {
        std::string path;
        DWORD type;
    } cases[] = {{"/dev/null", FILE_TYPE_CHAR},
                 {"/dev/zero", FILE_TYPE_CHAR},
                 {"/proc/self/status", FILE_TYPE_CHAR},
                 {socket_path, FILE_TYPE_PIPE}};
    for (const auto &c : cases) {
        HANDLE h = open(c.path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << c.path;
        EXPECT_EQ(GetFileType(h), c.type) << c.path;
        EXPECT_EQ(ReOpenFile(h, GENERIC_READ, FILE_SHARE_READ, 0), INVALID_HANDLE_VALUE) << c.path;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE)) << c.path;
        CloseHandle(h);
    }
    close(listener);
}

TEST_F(PosixFile, AReopenOpensTheFileLookedAtWhateverItsNameBecame)
{
    HANDLE h = open("C:\\a.txt", GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_TRUE(write(h, "looked at"));
    CloseHandle(h);
    h = open("C:\\a.txt", 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_EQ(rename(at("drive_c/a.txt").c_str(), at("drive_c/moved.txt").c_str()), 0);
    HANDLE other = open("C:\\a.txt", GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_TRUE(write(other, "put in its place"));
    CloseHandle(other);

    HANDLE reader = ReOpenFile(h, GENERIC_READ, FILE_SHARE_READ, 0);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(read(reader), "looked at");
    CloseHandle(reader);
    CloseHandle(h);
}

TEST_F(PosixFile, DirectoriesAreAccessDenied)
{
    ASSERT_EQ(mkdir(at("drive_c/dir").c_str(), 0755), 0);
    EXPECT_EQ(open("C:\\dir", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(open(at("drive_c/dir"), GENERIC_WRITE, 0, OPEN_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(DeleteFileA("C:\\dir"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}

TEST_F(PosixFile, ShareModesHoldAcrossProcesses)
{
    const std::string path = "C:\\shared.txt";
    HANDLE exclusive = open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_EQ(run_child(ChildAction::OpenShared, path), int(ERROR_SHARING_VIOLATION));
    CloseHandle(exclusive);
    EXPECT_EQ(run_child(ChildAction::OpenExclusive, path), 0);

    HANDLE shared = open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_EQ(run_child(ChildAction::OpenShared, path), 0);
    EXPECT_EQ(run_child(ChildAction::OpenExclusive, path), int(ERROR_SHARING_VIOLATION));
    CloseHandle(shared);
}

// The open flags of the one descriptor open on `path`, or -1.
static int descriptor_flags(const std::string &path)
{
    int flags = -1;
    DIR *fds = opendir("/proc/self/fd");
    while (dirent *entry = fds ? readdir(fds) : nullptr) {
        char target[4096];
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0 || std::string(target, size_t(n)) != path)
            continue;
        std::ifstream info(std::string("/proc/self/fdinfo/") + entry->d_name);
        std::string key;
        while (info >> key)
            if (key == "flags:")
                info >> std::oct >> flags;
    }
    if (fds)
        closedir(fds);
    return flags;
}

TEST_F(PosixFile, WriteThroughWritesSynchronously)
{
    HANDLE h = open("C:\\sync.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_FLAG_WRITE_THROUGH);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    int flags = descriptor_flags(at("drive_c/sync.txt"));
    ASSERT_NE(flags, -1);
    EXPECT_EQ(flags & O_DSYNC, O_DSYNC);
    EXPECT_EQ(flags & O_NONBLOCK, 0); // cleared for a regular file
    EXPECT_EQ(flags & O_CLOEXEC, O_CLOEXEC);
    CloseHandle(h);

    h = open("C:\\plain.txt", GENERIC_WRITE, 0, CREATE_ALWAYS);
    EXPECT_EQ(descriptor_flags(at("drive_c/plain.txt")) & O_DSYNC, 0);
    CloseHandle(h);
}

TEST_F(PosixFile, StaleHandleStaysInvalidWhenItsSlotIsReused)
{
    HANDLE first = open("C:\\a.txt", GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_TRUE(CloseHandle(first));
    HANDLE second = open("C:\\b.txt", GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    EXPECT_NE(second, first);
    EXPECT_FALSE(write(first, "lost"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(write(second, "kept"));
    CloseHandle(second);

    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
}
