// GetFileSizeEx, and DeviceIoControl asking which ranges of a disk file hold
// data (FSCTL_QUERY_ALLOCATED_RANGES).
#include <utility>
#include <vector>

#include "test_root.h"
#include "wine.h"

#define SKIP_WITHOUT_RANGES_UNDER_WINE()                                                      \
    SKIP_UNDER_WINE("fails FSCTL_QUERY_ALLOCATED_RANGES, and codes it does not know, with "   \
                    "ERROR_NOT_SUPPORTED")

using Ranges = std::vector<std::pair<long long, long long>>; // offset, length

const long long kMiB = 1 << 20;
const long long kSparseSize = 8 * kMiB + 4;

class FileRanges : public FileTest {
protected:
    void TearDown() override
    {
        CloseHandle(h_);
        FileTest::TearDown();
    }
    // A file of "head" at 0, "middle" at 4 MiB and "tail" at 8 MiB, where it
    // ends: sparse, or written in full.
    void create(bool sparse)
    {
        h_ = open(path_, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
        DWORD done = 0;
        if (sparse)
            ASSERT_TRUE(DeviceIoControl(h_, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &done,
                                        nullptr));
        else
            ASSERT_TRUE(write(h_, std::string(kSparseSize, 'x')));
        for (auto [at, text] : {std::pair<long long, std::string>{0, "head"},
                                {4 * kMiB, "middle"}, {8 * kMiB, "tail"}}) {
            LONG high = LONG(at >> 32);
            SetFilePointer(h_, LONG(at), &high, FILE_BEGIN);
            ASSERT_TRUE(write(h_, text));
        }
    }
    // The ranges given for [offset, offset + length) with room for `room`;
    // *error: GetLastError after a failure, else NO_ERROR.
    Ranges query(long long offset, long long length, DWORD room, DWORD *error)
    {
        FILE_ALLOCATED_RANGE_BUFFER in, out[8];
        in.FileOffset.QuadPart = offset;
        in.Length.QuadPart = length;
        DWORD bytes = 0;
        *error = DeviceIoControl(h_, FSCTL_QUERY_ALLOCATED_RANGES, &in, sizeof in, out,
                                 room * DWORD(sizeof out[0]), &bytes, nullptr)
                     ? DWORD(NO_ERROR)
                     : GetLastError();
        Ranges ranges;
        for (DWORD i = 0; i < bytes / sizeof out[0]; i++)
            ranges.push_back({out[i].FileOffset.QuadPart, out[i].Length.QuadPart});
        return ranges;
    }
    // Windows allocates a sparse file in units of up to 64 KiB: a range holds
    // its island of data, and ends well before the next.
    static void ExpectIsland(const std::pair<long long, long long> &r, long long at, int size)
    {
        EXPECT_LE(r.first, at);
        EXPECT_GE(r.first + r.second, at + size);
        EXPECT_LE(r.second, kMiB) << r.first;
    }

    HANDLE h_ = INVALID_HANDLE_VALUE;
};

TEST_F(FileRanges, ASparseFileHasOneRangePerIslandOfDataInOrderUpToItsEnd)
{
    SKIP_WITHOUT_RANGES_UNDER_WINE();
    create(true);
    LARGE_INTEGER size;
    ASSERT_TRUE(GetFileSizeEx(h_, &size));
    EXPECT_EQ(size.QuadPart, kSparseSize);
    DWORD error = 0;
    Ranges ranges = query(0, 1LL << 40, 8, &error);
    EXPECT_EQ(error, DWORD(NO_ERROR));
    ASSERT_EQ(ranges.size(), 3u);
    EXPECT_EQ(ranges[0].first, 0);
    ExpectIsland(ranges[0], 0, 4);
    ExpectIsland(ranges[1], 4 * kMiB, 6);
    ExpectIsland(ranges[2], 8 * kMiB, 4);
    EXPECT_EQ(ranges[2].first + ranges[2].second, kSparseSize);
    EXPECT_EQ(SetFilePointer(h_, 0, nullptr, FILE_CURRENT), DWORD(kSparseSize)) << "unmoved";

    // Asked from the middle: within an island the range starts where asked;
    // within a hole, at the next island; only holes, or nothing, give none.
    ranges = query(4 * kMiB + 2, kMiB, 8, &error);
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(ranges[0].first, 4 * kMiB + 2);
    ExpectIsland(ranges[0], 4 * kMiB + 2, 4);
    ranges = query(2 * kMiB, 3 * kMiB, 8, &error);
    ASSERT_EQ(ranges.size(), 1u);
    ExpectIsland(ranges[0], 4 * kMiB, 6);
    EXPECT_EQ(query(5 * kMiB, kMiB, 8, &error), Ranges());
    EXPECT_EQ(query(0, 0, 8, &error), Ranges());
    EXPECT_EQ(error, DWORD(NO_ERROR));
}

TEST_F(FileRanges, ATooSmallBufferGetsTheRangesThatFitAndMoreData)
{
    SKIP_WITHOUT_RANGES_UNDER_WINE();
    create(true);
    DWORD error = 0;
    Ranges first = query(0, kSparseSize, 1, &error);
    EXPECT_EQ(error, DWORD(ERROR_MORE_DATA));
    ASSERT_EQ(first.size(), 1u);
    ExpectIsland(first[0], 0, 4);
    long long next = first[0].first + first[0].second; // asked on from there: the rest
    EXPECT_EQ(query(next, kSparseSize - next, 2, &error).size(), 2u);
    EXPECT_EQ(error, DWORD(NO_ERROR));
    EXPECT_EQ(query(0, kSparseSize, 0, &error), Ranges()); // room for none
    EXPECT_EQ(error, DWORD(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(FileRanges, AFileWithoutHolesIsOneRangeUpToItsEnd)
{
    SKIP_WITHOUT_RANGES_UNDER_WINE();
    create(false);
    DWORD error = 0;
    EXPECT_EQ(query(0, 1LL << 40, 8, &error), (Ranges{{0, kSparseSize}}));
    EXPECT_EQ(query(60000, 100, 8, &error), (Ranges{{60000, 100}}));
    EXPECT_EQ(error, DWORD(NO_ERROR));
}

TEST_F(FileRanges, BadQueriesOtherCodesAndOtherHandlesFail)
{
    SKIP_WITHOUT_RANGES_UNDER_WINE();
    create(false);
    FILE_ALLOCATED_RANGE_BUFFER in = {}, out[2];
    auto error = [&](HANDLE h, DWORD code, DWORD in_size, long long offset, long long length) {
        in.FileOffset.QuadPart = offset;
        in.Length.QuadPart = length;
        DWORD bytes = 0;
        BOOL ok = DeviceIoControl(h, code, &in, in_size, out, sizeof out, &bytes, nullptr);
        return ok ? DWORD(NO_ERROR) : GetLastError();
    };
    const DWORD q = FSCTL_QUERY_ALLOCATED_RANGES;
    EXPECT_EQ(error(h_, q, sizeof in - 1, 0, 4), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(error(h_, q, sizeof in, -1, 4), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(error(h_, q, sizeof in, 1, 0x7FFFFFFFFFFFFFFFLL), DWORD(ERROR_INVALID_PARAMETER));
    const DWORD kUndefinedFsctl = 0x00093FFCu;
    EXPECT_EQ(error(h_, kUndefinedFsctl, sizeof in, 0, 4), DWORD(ERROR_INVALID_FUNCTION));
    HANDLE slot = CreateMailslotA(slot_name().c_str(), 0, 0, nullptr);
    EXPECT_EQ(error(slot, q, sizeof in, 0, 4), DWORD(ERROR_INVALID_FUNCTION));
    CloseHandle(slot);
    // The ranges tell of the data: a handle that may not read may not ask.
    CloseHandle(h_);
    h_ = open(path_, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_EQ(error(h_, q, sizeof in, 0, 4), DWORD(ERROR_ACCESS_DENIED));
}

TEST_F(FileRanges, FileSizeBeyondFourGiB)
{
    h_ = open(path_, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
    LONG high = 1;
    SetFilePointer(h_, 0x10, &high, FILE_BEGIN);
    ASSERT_TRUE(write(h_, "x"));
    LARGE_INTEGER size = {};
    ASSERT_TRUE(GetFileSizeEx(h_, &size)) << GetLastError();
    EXPECT_EQ(size.QuadPart, 0x100000011LL);
    EXPECT_EQ(size.u.HighPart, 1);
}
