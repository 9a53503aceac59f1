#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "log/log.h"
#include "platform/posix/kernel_calls.h"
#include "program_fixture.h"
#include "support/child.h"
#include "support/disk.h"

namespace {

class LogTest : public ProgramTest {
protected:
    std::string Log() { return ReadWholeFile(LogPath(root)); }
};

TEST_F(LogTest, CreatesTheFileAndAppendsCrLf)
{
    EXPECT_EQ(WriteToLog("MailSlot service entry point"), 30);
    EXPECT_EQ(Log(), "MailSlot service entry point\r\n");

    // A text ending in LF gets its own CR LF as well.
    EXPECT_EQ(WriteToLog("Mailslot created\n"), 19);
    EXPECT_EQ(WriteToLog(""), 2);
    EXPECT_EQ(Log(), "MailSlot service entry point\r\nMailslot created\n\r\n\r\n");
}

TEST_F(LogTest, AppendsAfterContentWithoutLineBreak)
{
    WriteToLog("first");
    WriteWholeFile(LogPath(root), "no line break");
    EXPECT_EQ(WriteToLog("next"), 6);
    EXPECT_EQ(Log(), "no line breaknext\r\n");
}

TEST_F(LogTest, LongLinesAreWrittenWhole)
{
    for (size_t length : {253u, 254u, 255u, 256u, 5000u}) {
        std::string text(length, 'x');
        text.back() = 'y';
        size_t before = Log().size();
        EXPECT_EQ(WriteToLog(text.c_str()), (int)length + 2);
        EXPECT_EQ(Log().substr(before), text + "\r\n") << length;
    }
}

TEST_F(LogTest, ControlCharactersAreEscapedSoNoTextMakesALineOfItsOwn)
{
    // What a request could carry into a line: nothing but its own line end
    // stays a control character; backslashes and other bytes stay as they are.
    EXPECT_EQ(WriteToLog("Received: </x\r\nMailSlot Service stopped!\r\n>\n"), 50);
    EXPECT_EQ(WriteToLog("<\x01\t\x1b\x7f C:\\a b\xc3\xa9>"), 27);
    EXPECT_EQ(Log(), "Received: </x\\r\\nMailSlot Service stopped!\\r\\n>\n\r\n"
                     "<\\x01\\t\\x1b\\x7f C:\\a b\xc3\xa9>\r\n");
}

TEST_F(LogTest, AnotherProgramAppendingMeanwhileLosesNoByte)
{
    WriteToLog("first");
    std::atomic<bool> done{false};
    int appended = 0;
    std::thread other([&] {
        int fd = open(LogPath(root).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        for (; fd >= 0 && !done.load(); appended++)
            if (write(fd, "marker\r\n", 8) != 8)
                break;
        close(fd);
    });
    const int kLines = 3000;
    for (int i = 0; i < kLines; i++)
        WriteToLog("exit");
    done = true;
    other.join();
    std::string log = Log();
    size_t markers = 0, lines = 0;
    for (size_t at = 0; (at = log.find("marker\r\n", at)) != std::string::npos; at += 8)
        markers++;
    for (size_t at = 0; (at = log.find("exit\r\n", at)) != std::string::npos; at += 6)
        lines++;
    EXPECT_EQ(markers, size_t(appended));
    EXPECT_EQ(lines, size_t(kLines));
    EXPECT_EQ(log.size(), 7 + 8 * size_t(appended) + 6 * size_t(kLines));
}

TEST_F(LogTest, ALockTakenByAnAccountThatMayNotWriteNeverSilencesTheLog)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as nobody";
    WriteToLog("first");
    ASSERT_EQ(chmod(LogPath(root).c_str(), 0644), 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t reader = StartChild([&] {
        int fd = open(LogPath(root).c_str(), O_RDONLY);
        if (fd < 0 || flock(fd, LOCK_SH) != 0)
            return 1;
        if (write(ready[1], "!", 1) != 1)
            return 2;
        pause();
        return 0;
    }, true);
    close(ready[1]);
    char signal = 0;
    ASSERT_EQ(read(ready[0], &signal, 1), 1) << "nobody could not lock the log";
    close(ready[0]);
    EXPECT_EQ(WriteToLog("during"), 8);
    kill(reader, SIGKILL);
    WaitChild(reader, 10);
    EXPECT_EQ(Log(), "first\r\nduring\r\n");
}

TEST_F(LogTest, DropsTheLineWhileAnotherHandleHoldsTheLog)
{
    WriteToLog("kept");
    HANDLE reader = CreateFileA("C:\\ZQ_logfile.log", GENERIC_READ, FILE_SHARE_READ, NULL,
                                OPEN_EXISTING, 0, NULL);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(WriteToLog("dropped"), -1);
    CloseHandle(reader);
    EXPECT_EQ(WriteToLog("resumed"), 9);
    EXPECT_EQ(Log(), "kept\r\nresumed\r\n");
}

TEST_F(LogTest, TwoThreadsNeverDropEachOthersLines)
{
    const int kLines = 300;
    auto writer = [](char tag) {
        std::string text = std::string("line from ") + tag;
        for (int i = 0; i < kLines; i++)
            WriteToLog(text.c_str());
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();

    std::string log = Log();
    size_t as = 0, bs = 0;
    for (size_t at = 0; (at = log.find("line from ", at)) != std::string::npos; at += 10)
        (log[at + 10] == 'a' ? as : bs)++;
    EXPECT_EQ(as, (size_t)kLines);
    EXPECT_EQ(bs, (size_t)kLines);
    EXPECT_EQ(log.size(), (size_t)2 * kLines * 13);
}

TEST_F(LogTest, AppendsBeyondFourGibibytes)
{
    WriteToLog("start");
    const off_t size = (off_t)5 << 30; // sparse, so no real space is used
    ASSERT_EQ(truncate(LogPath(root).c_str(), size), 0);
    EXPECT_EQ(WriteToLog("tail"), 6);

    int fd = open(LogPath(root).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char tail[7] = {0};
    EXPECT_EQ(pread(fd, tail, 6, size), 6);
    EXPECT_EQ(lseek(fd, 0, SEEK_END), size + 6);
    close(fd);
    EXPECT_STREQ(tail, "tail\r\n");
}

TEST_F(LogTest, ALineThatDoesNotFitIsTakenBackAndOthersBytesAreKept)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a small file system";
    SmallDisk disk(root, "size=64k,mode=0755");
    ASSERT_TRUE(disk.mounted());

    EXPECT_EQ(WriteToLog("first"), 7);
    std::string filler = disk.Fill();
    // More than the room left in the log's last page: part of it is written.
    std::string line(5000, 'x');
    EXPECT_EQ(WriteToLog(line.c_str()), 0);
    EXPECT_EQ(Log(), "first\r\n") << "no fragment stays";

    // Another program appends without taking the log's lock.
    ASSERT_EQ(unlink(filler.c_str()), 0);
    int other = open(LogPath(root).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(write(other, "other\r\n", 7), 7);
    close(other);
    EXPECT_EQ(WriteToLog("next"), 6);
    EXPECT_EQ(Log(), "first\r\nother\r\nnext\r\n");
}

// The layer's writes as a filling disk makes them: at most three bytes each,
// and once `g_writesLeft` is spent, none (ENOSPC).
int g_writesLeft;
ssize_t WriteThreeBytesUntilFull(int fd, const void *data, size_t size)
{
    if (g_writesLeft-- <= 0) {
        errno = ENOSPC;
        return -1;
    }
    return w32::real_kernel_calls().write(fd, data, size < 3 ? size : 3);
}

TEST_F(LogTest, WritesCutShortAreCarriedOnAndALineCutOffByAFullDiskIsTakenBack)
{
    w32::KernelCalls calls = w32::real_kernel_calls();
    calls.write = WriteThreeBytesUntilFull;
    w32::replace_kernel_calls(&calls);
    g_writesLeft = 1000;
    EXPECT_EQ(WriteToLog("first line"), 12);
    g_writesLeft = 2;
    EXPECT_EQ(WriteToLog("cut off"), 0);
    w32::restore_kernel_calls();
    EXPECT_EQ(Log(), "first line\r\n") << "no fragment stays";
    EXPECT_EQ(WriteToLog("next"), 6);
    EXPECT_EQ(Log(), "first line\r\nnext\r\n");
}

TEST_F(LogTest, UnwritableLogDirectoryDropsTheLineWithoutHarm)
{
    WriteToLog("first");
    std::string dir = root + "/drive_c";
    std::string log = LogPath(root);
    ASSERT_EQ(rename(log.c_str(), (root + "/moved").c_str()), 0);
    ASSERT_EQ(rmdir(dir.c_str()), 0);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(log.c_str(), 0755), 0); // a directory where the log should be
    EXPECT_EQ(WriteToLog("lost"), -1);
}

} // namespace
