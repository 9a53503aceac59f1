#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "count/count.h"
#include "platform/posix/kernel_calls.h"
#include "program_fixture.h"

namespace {

// What a text-mode stream read one character at a time yields: spaces up to
// the first 0x1A.
unsigned long long ReferenceCount(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    unsigned long long n = 0;
    for (int c; (c = fgetc(f)) != EOF && c != 0x1A;)
        n += c == ' ';
    fclose(f);
    return n;
}

// Blocks read by the counts that pass CountBlock as their keepGoing.
int blocksRead = 0;
BOOL CountBlock(void)
{
    blocksRead++;
    return TRUE;
}

// Counts a file in blocks of cbBlock: a buffer of two, one for each of two
// readers once the file is larger than a block.
unsigned long long CountFile(const std::string &path, DWORD cbBlock,
                             BOOL (*keepGoing)(void) = NULL)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0,
                           NULL);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    std::string buffer(2 * cbBlock, '\0');
    unsigned long long n = ~0ull;
    EXPECT_TRUE(CountSpacesInFile(h, &buffer[0], 2 * cbBlock, &n, keepGoing));
    CloseHandle(h);
    return n;
}

class CountTest : public ProgramTest {};

TEST_F(CountTest, OnlySpacesBeforeTheFirstEndOfFileMarkCount)
{
    struct Case {
        std::string text;
        unsigned long long spaces;
    } cases[] = {
        {"", 0},
        {"a b c", 2},
        {std::string(10, ' '), 10},
        {"\t \r\n\v\f", 1},
        {"one two\r\nthree four\r\n", 2},
        {"a b\x1A c d", 1},
        {"\x1A   ", 0},
        {std::string("a\0 b \0", 6), 2}, // a NUL is just a byte of the file
    };
    for (const Case &c : cases) {
        BOOL ended = FALSE;
        EXPECT_EQ(CountSpacesInBlock(c.text.data(), c.text.size(), 0, &ended), c.spaces)
            << c.text;
    }
}

TEST_F(CountTest, CountingCarriesAcrossBlocksAndStopsAtTheMark)
{
    BOOL ended = FALSE;
    unsigned long long n = 0xFFFFFFFFull; // beyond every 32-bit counter
    n = CountSpacesInBlock("  ", 2, n, &ended);
    n = CountSpacesInBlock(" \x1A ", 3, n, &ended);
    EXPECT_TRUE(ended);
    n = CountSpacesInBlock("    ", 4, n, &ended);
    EXPECT_EQ(n, 0x100000002ull);

    // Within one large block the mark is found wherever it lies, at the edge
    // of a cache-sized piece as well: only the spaces before it count.
    std::string spaces(100000, ' ');
    for (size_t mark : {0, 4095, 4096, 16383, 16384, 16385, 65536, 99999}) {
        std::string block = spaces;
        block[mark] = '\x1A';
        ended = FALSE;
        EXPECT_EQ(CountSpacesInBlock(block.data(), block.size(), 0, &ended), mark) << mark;
        EXPECT_TRUE(ended);
    }
    ended = FALSE;
    EXPECT_EQ(CountSpacesInBlock(spaces.data(), spaces.size(), 0, &ended), spaces.size());
    EXPECT_FALSE(ended);
}

TEST_F(CountTest, FormatsEveryCountInPlainDigits)
{
    char text[24];
    EXPECT_STREQ(FormatCount(0, text, sizeof text), "0");
    EXPECT_STREQ(FormatCount(10, text, sizeof text), "10");
    EXPECT_STREQ(FormatCount(2147483648ull, text, sizeof text), "2147483648");
    EXPECT_STREQ(FormatCount(18446744073709551615ull, text, sizeof text),
                 "18446744073709551615");
}

TEST_F(CountTest, MatchesOneCharacterAtATimeOnGeneratedFiles)
{
    std::mt19937 random(20261208);
    const char alphabet[] = {' ', ' ', ' ', 'a', 'b', '\t', '\r', '\n', '\x1A', '\0'};
    for (int round = 0; round < 40; round++) {
        size_t size = random() % (round < 20 ? 300 : 200000);
        // Most files hold a 0x1A late or not at all, so the mark is exercised
        // at block edges as well as in the middle.
        bool withMark = round % 3 == 0;
        std::string text(size, 'x');
        for (char &c : text)
            c = alphabet[random() % (withMark ? 10 : 8)];
        std::string path = root + "/f" + std::to_string(round);
        WriteWholeFile(path, text);
        unsigned long long expected = ReferenceCount(path);
        for (DWORD block : {1u, 7u, 255u, 256u, 65536u}) {
            if (block < 255 && size > 1000)
                continue; // tiny blocks are for the edges, not for bulk
            EXPECT_EQ(CountFile(path, block), expected) << "round " << round << " block " << block;
        }
    }
}

TEST_F(CountTest, SparseFilesAreCountedFromTheirDataAloneUpToTheFirstMark)
{
    std::mt19937 random(20261209);
    // More islands of data than one query of the ranges answers; each is at
    // most 9000 bytes, so it spans at most four 4 KiB blocks of the disk.
    const int kIslands = 150;
    for (int markIn : {-1, 0, 70, kIslands - 1}) {
        std::string path = root + "/sparse" + std::to_string(markIn);
        int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        off_t at = markIn == 0 ? 0 : (off_t)(random() % 100000);
        for (int i = 0; i < kIslands; i++) {
            std::string text(1 + random() % 9000, 'a');
            for (char &c : text)
                c = random() % 4 == 0 ? ' ' : 'a';
            if (i == markIn)
                text[random() % text.size()] = '\x1A';
            ASSERT_EQ(pwrite(fd, text.data(), text.size(), at), (ssize_t)text.size());
            at += (off_t)(text.size() + 8192 + random() % 100000);
        }
        ASSERT_EQ(ftruncate(fd, at), 0); // and a hole at the end
        close(fd);

        unsigned long long expected = ReferenceCount(path);
        for (DWORD block : {4096u, 65536u, 1u << 20}) {
            blocksRead = 0;
            EXPECT_EQ(CountFile(path, block, CountBlock), expected)
                << "mark in " << markIn << ", block " << block;
            if (block == 4096u) { // holes and all, about 2300
                EXPECT_LE(blocksRead, 4 * kIslands) << "mark in " << markIn;
            }
        }
    }
}

TEST_F(CountTest, AReadErrorEndsTheCountAsAFailure)
{
    std::string path = root + "/spaces";
    // Read in this thread alone (one block), and by two readers.
    for (size_t size : {3, 100000}) {
        WriteWholeFile(path, std::string(size, ' '));
        // A handle opened for writing only cannot be read.
        HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                               0, NULL);
        char buffer[64];
        unsigned long long n = 0;
        EXPECT_FALSE(CountSpacesInFile(h, buffer, sizeof buffer, &n, NULL)) << size;
        CloseHandle(h);
    }
}

TEST_F(CountTest, EveryKernelCountsAsAPlainLoopAtEveryLengthAndAlignment)
{
    ASSERT_GE(CountKernels(), 1);
    EXPECT_STREQ(CountKernelName(0), "plain");
    EXPECT_EQ(CountKernelInUse(), CountKernels() - 1) << "the widest counts";
    EXPECT_EQ(CountKernelName(CountKernels()), nullptr);

    std::mt19937 random(20261210);
    const size_t kAligned = 64, kLongest = 1000;
    std::vector<char> text(kAligned + kLongest);
    for (char &c : text) // spaces, and bytes one bit away from a space
        c = random() % 2 ? ' ' : (char)(' ' ^ (1 << (random() % 8)));
    // Runs of spaces long enough to fill every byte-wide counter of a kernel.
    std::vector<char> spaces(70000, ' ');
    for (int k = 0; k < CountKernels(); k++) {
        for (size_t offset = 0; offset < kAligned; offset++) {
            for (size_t cb = 0; cb <= kLongest; cb++) {
                const char *p = text.data() + offset;
                ASSERT_EQ(CountSpacesWithKernel(k, p, cb), (size_t)std::count(p, p + cb, ' '))
                    << CountKernelName(k) << ": " << cb << " bytes from " << offset;
            }
        }
        for (size_t cb : {32640, 32641, 65280, 65281, 69999})
            EXPECT_EQ(CountSpacesWithKernel(k, spaces.data() + 1, cb), cb) << CountKernelName(k);
    }
}

TEST_F(CountTest, TwoReadersCountFilesAroundTheBlockEdgesExactly)
{
    const DWORD kBlock = 4096;
    std::mt19937 random(20261211);
    std::string path = root + "/edges";
    for (size_t size : {0, 1, 4095, 4096, 4097, 8191, 8192, 8193, 12289, 41000}) {
        for (long mark : {-1L, 4095L, 4096L, (long)size - 1}) {
            std::string text(size, 'a');
            for (char &c : text)
                c = random() % 3 == 0 ? ' ' : 'a';
            if (mark >= 0 && (size_t)mark < size)
                text[mark] = '\x1A';
            WriteWholeFile(path, text);
            EXPECT_EQ(CountFile(path, kBlock), ReferenceCount(path))
                << size << " bytes, mark at " << mark;
        }
    }
}

// The layer's reads, the first of them held up for 50 ms: the other reader
// runs many blocks ahead of it meanwhile.
std::atomic<int> readsStarted{0};
ssize_t FirstReadSlow(int fd, void *buffer, size_t size)
{
    if (readsStarted++ == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return w32::real_kernel_calls().read(fd, buffer, size);
}

TEST_F(CountTest, AReaderHeldUpOnOneBlockLosesNothingAndCountsNothingPastTheMark)
{
    std::string path = root + "/slow";
    std::string text(64 * 4096, ' ');
    for (long mark : {-1L, 100L, 4096L * 40}) {
        if (mark >= 0)
            text[mark] = '\x1A';
        WriteWholeFile(path, text);
        w32::KernelCalls calls = w32::real_kernel_calls();
        calls.read = FirstReadSlow;
        readsStarted = 0;
        w32::replace_kernel_calls(&calls);
        unsigned long long n = CountFile(path, 4096);
        w32::restore_kernel_calls();
        EXPECT_EQ(n, ReferenceCount(path)) << "mark at " << mark;
        if (mark == 100) // the other reader waited rather than read on and on
            EXPECT_LE(readsStarted.load(), 20);
    }
}

// The layer's seeks, as on a system that cannot tell where a file's data
// lies: the ranges query, which looks up the position first, fails.
off_t NoCurrentPosition(int fd, off_t offset, int whence)
{
    if (whence == SEEK_CUR) {
        errno = EINVAL;
        return -1;
    }
    return w32::real_kernel_calls().lseek(fd, offset, whence);
}

TEST_F(CountTest, WithoutTheRangesTheWholeFileIsReadToItsLastShortBlock)
{
    std::string path = root + "/whole";
    w32::KernelCalls calls = w32::real_kernel_calls();
    calls.lseek = NoCurrentPosition;
    for (size_t size : {0, 13, 4096, 4097, 100000}) {
        std::string text(size, 'a');
        for (size_t i = 0; i < size; i += 3)
            text[i] = ' ';
        WriteWholeFile(path, text);
        w32::replace_kernel_calls(&calls);
        unsigned long long n = CountFile(path, 4096);
        w32::restore_kernel_calls();
        EXPECT_EQ(n, ReferenceCount(path)) << size << " bytes";
    }
}

// Says to stop when asked for the fifth block.
int blocksAsked = 0;
BOOL StopAtTheFifthBlock(void)
{
    return ++blocksAsked < 5;
}

TEST_F(CountTest, AStopEndsTheReadingAtTheBlockWhereItIsSeen)
{
    std::string path = root + "/spaces";
    WriteWholeFile(path, std::string(64 * 4096, ' '));
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0,
                           NULL);
    char buffer[2 * 4096];
    unsigned long long n = 7;
    EXPECT_FALSE(CountSpacesInFile(h, buffer, sizeof buffer, &n, StopAtTheFifthBlock));
    EXPECT_EQ(blocksAsked, 5) << "no block asked for after the stop";
    EXPECT_EQ(n, 7u) << "no count for a stopped file";
    CloseHandle(h);
}

TEST_F(CountTest, StopsWhenToldTo)
{
    std::string path = root + "/spaces";
    WriteWholeFile(path, std::string(100000, ' '));
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0,
                           NULL);
    char buffer[1024];
    unsigned long long n = 0;
    EXPECT_FALSE(CountSpacesInFile(h, buffer, sizeof buffer, &n, [] { return (BOOL)FALSE; }));
    CloseHandle(h);
}

} // namespace
