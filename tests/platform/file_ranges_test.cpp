// GetFileSizeEx and DeviceIoControl on disk files: which ranges of a file
// hold data (FSCTL_QUERY_ALLOCATED_RANGES).
#include <vector>

#include "test_root.h"
#include "wine.h"

namespace {

struct Range {
    long long offset;
    long long length;
    bool operator==(const Range &other) const
    {
        return offset == other.offset && length == other.length;
    }
};

std::ostream &operator<<(std::ostream &out, const Range &r)
{
    return out << "[" << r.offset << ", +" << r.length << ")";
}

const long long kMiB = 1 << 20;

#define SKIP_WITHOUT_RANGES_UNDER_WINE()                                                      \
    SKIP_UNDER_WINE("fails every FSCTL_QUERY_ALLOCATED_RANGES, and every code it does not "   \
                    "know, with ERROR_NOT_SUPPORTED")

} // namespace

class FileRanges : public PlatformTest {
protected:
    void TearDown() override
    {
        if (h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
        DeleteFileA(path_.c_str());
        PlatformTest::TearDown();
    }
    HANDLE create(bool sparse)
    {
        h_ = open(path_, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
        DWORD done = 0;
        if (sparse) {
            EXPECT_TRUE(DeviceIoControl(h_, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &done,
                                        nullptr))
                << GetLastError();
        }
        return h_;
    }
    void write_at(long long offset, const std::string &data)
    {
        LONG high = LONG(offset >> 32);
        SetFilePointer(h_, LONG(offset & 0xFFFFFFFF), &high, FILE_BEGIN);
        EXPECT_TRUE(write(h_, data));
    }
    // A sparse file: "head" at 0, "middle" at 4 MiB, "tail" at 8 MiB, where
    // it ends. Windows allocates sparse files in units of up to 64 KiB.
    void create_sparse_file()
    {
        ASSERT_NE(create(true), INVALID_HANDLE_VALUE);
        write_at(0, "head");
        write_at(4 * kMiB, "middle");
        write_at(8 * kMiB, "tail");
    }
    // The ranges asked for [offset, offset + length) with room for `room`;
    // *error is GetLastError after a failure, else NO_ERROR.
    std::vector<Range> query(long long offset, long long length, DWORD room, DWORD *error)
    {
        FILE_ALLOCATED_RANGE_BUFFER in;
        in.FileOffset.QuadPart = offset;
        in.Length.QuadPart = length;
        std::vector<FILE_ALLOCATED_RANGE_BUFFER> out(room + 1);
        DWORD bytes = 12345;
        BOOL ok = DeviceIoControl(h_, FSCTL_QUERY_ALLOCATED_RANGES, &in, sizeof in, out.data(),
                                  room * DWORD(sizeof out[0]), &bytes, nullptr);
        *error = ok ? DWORD(NO_ERROR) : GetLastError();
        EXPECT_EQ(bytes % sizeof out[0], 0u);
        std::vector<Range> ranges;
        for (DWORD i = 0; i < bytes / sizeof out[0] && i < room; i++)
            ranges.push_back({out[i].FileOffset.QuadPart, out[i].Length.QuadPart});
        return ranges;
    }
    // Whether a range holds the bytes [offset, offset + length).
    static bool covers(const Range &r, long long offset, long long length)
    {
        return r.offset <= offset && offset + length <= r.offset + r.length;
    }

    const std::string path_ = "C:\\" + unique("test_");
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

TEST_F(FileRanges, ASparseFileHasOneRangePerIslandOfDataInOrder)
{
    SKIP_WITHOUT_RANGES_UNDER_WINE();
    create_sparse_file();
    LARGE_INTEGER size;
    ASSERT_TRUE(GetFileSizeEx(h_, &size));
    EXPECT_EQ(size.QuadPart, 8 * kMiB + 4);

    DWORD error = 0;
    std::vector<Range> ranges = query(0, size.QuadPart, 8, &error);
    EXPECT_EQ(error, DWORD(NO_ERROR));
    ASSERT_EQ(ranges.size(), 3u);
    EXPECT_EQ(ranges[0].offset, 0);
    EXPECT_TRUE(covers(ranges[0], 0, 4)) << ranges[0];
    EXPECT_TRUE(covers(ranges[1], 4 * kMiB, 6)) << ranges[1];
    EXPECT_TRUE(covers(ranges[2], 8 * kMiB, 4)) << ranges[2];
    EXPECT_LT(ranges[0].offset + ranges[0].length, ranges[1].offset);
    EXPECT_LT(ranges[1].offset + ranges[1].length, ranges[2].offset);
    EXPECT_EQ(ranges[2].offset + ranges[2].length, size.QuadPart); // none past the end
    EXPECT_EQ(SetFilePointer(h_, 0, nullptr, FILE_CURRENT), 8u * kMiB + 4) << "pointer unmoved";
}

TEST_F(FileRanges, ATooSmallBufferGetsTheRangesThatFitAndMoreData)
{
    SKIP_WITHOUT_RANGES_UNDER_WINE();
    create_sparse_file();
    DWORD error = 0;
    std::vector<Range> first = query(0, 8 * kMiB + 4, 1, &error);
    EXPECT_EQ(error, DWORD(ERROR_MORE_DATA));
    ASSERT_EQ(first.size(), 1u);
    EXPECT_TRUE(covers(first[0], 0, 4)) << first[0];

    // Asking on from the end of the last range given yields the rest.
    long long next = first[0].offset + first[0].length;
    std::vector<Range> rest = query(next, 8 * kMiB + 4 - next, 2, &error);
    EXPECT_EQ(error, DWORD(NO_ERROR));
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_TRUE(covers(rest[1], 8 * kMiB, 4)) << rest[1];

    // Room for not even one range is no answer at all.
    FILE_ALLOCATED_RANGE_BUFFER in = {}, out = {};
    in.Length.QuadPart = 8 * kMiB + 4;
    DWORD bytes = 0;
    EXPECT_FALSE(DeviceIoControl(h_, FSCTL_QUERY_ALLOCATED_RANGES, &in, sizeof in, &out,
                                 sizeof out - 1, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(bytes, 0u);
}

TEST_F(FileRanges, AQueryFromTheMiddleStartsWhereAsked)
{
    SKIP_WITHOUT_RANGES_UNDER_WINE();
    create_sparse_file();
    DWORD error = 0;
    // Within the middle island: the range starts at the offset asked for.
    std::vector<Range> ranges = query(4 * kMiB + 2, 4 * kMiB + 2, 8, &error);
    EXPECT_EQ(error, DWORD(NO_ERROR));
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[0].offset, 4 * kMiB + 2);
    EXPECT_TRUE(covers(ranges[0], 4 * kMiB + 2, 4)) << ranges[0];

    // Within a hole: the first range is the next island.
    ranges = query(2 * kMiB, 3 * kMiB, 8, &error);
    EXPECT_EQ(error, DWORD(NO_ERROR));
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_TRUE(covers(ranges[0], 4 * kMiB, 6)) << ranges[0];
    EXPECT_GE(ranges[0].offset, 2 * kMiB);

    // Only holes, or nothing asked for: no range, and success.
    EXPECT_TRUE(query(2 * kMiB, kMiB, 8, &error).empty());
    EXPECT_EQ(error, DWORD(NO_ERROR));
    EXPECT_TRUE(query(0, 0, 8, &error).empty());
    EXPECT_EQ(error, DWORD(NO_ERROR));
}

TEST_F(FileRanges, AFileWithoutHolesIsOneRangeUpToItsEnd)
{
    SKIP_WITHOUT_RANGES_UNDER_WINE();
    ASSERT_NE(create(false), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(write(h_, std::string(100000, 'x')));
    DWORD error = 0;
    EXPECT_EQ(query(0, 100000, 8, &error), (std::vector<Range>{{0, 100000}}));
    EXPECT_EQ(error, DWORD(NO_ERROR));
    EXPECT_EQ(query(60000, 1LL << 40, 8, &error), (std::vector<Range>{{60000, 40000}}));
    EXPECT_TRUE(query(200000, 10, 8, &error).empty());
    EXPECT_EQ(error, DWORD(NO_ERROR));
}

TEST_F(FileRanges, BadQueriesAndOtherCodesAndHandlesFail)
{
    SKIP_WITHOUT_RANGES_UNDER_WINE();
    ASSERT_NE(create(false), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(write(h_, "data"));
    FILE_ALLOCATED_RANGE_BUFFER in = {}, out[2] = {};
    in.Length.QuadPart = 4;
    DWORD bytes = 0;
    auto fails_with = [&](HANDLE h, DWORD code, DWORD in_size) {
        bytes = 12345;
        BOOL ok = DeviceIoControl(h, code, &in, in_size, out, sizeof out, &bytes, nullptr);
        return ok ? DWORD(NO_ERROR) : GetLastError();
    };

    EXPECT_EQ(fails_with(h_, FSCTL_QUERY_ALLOCATED_RANGES, sizeof in - 1),
              DWORD(ERROR_INVALID_PARAMETER));
    in.FileOffset.QuadPart = -1;
    EXPECT_EQ(fails_with(h_, FSCTL_QUERY_ALLOCATED_RANGES, sizeof in),
              DWORD(ERROR_INVALID_PARAMETER));
    in.FileOffset.QuadPart = 1;
    in.Length.QuadPart = 0x7FFFFFFFFFFFFFFFLL; // the end would overflow
    EXPECT_EQ(fails_with(h_, FSCTL_QUERY_ALLOCATED_RANGES, sizeof in),
              DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(bytes, 0u);

    HANDLE slot = CreateMailslotA(slot_name().c_str(), 0, 0, nullptr);
    ASSERT_NE(slot, INVALID_HANDLE_VALUE);
    in.FileOffset.QuadPart = 0;
    in.Length.QuadPart = 4;
    EXPECT_EQ(fails_with(slot, FSCTL_QUERY_ALLOCATED_RANGES, sizeof in),
              DWORD(ERROR_INVALID_FUNCTION));
    CloseHandle(slot);
    EXPECT_EQ(fails_with(INVALID_HANDLE_VALUE, FSCTL_QUERY_ALLOCATED_RANGES, sizeof in),
              DWORD(ERROR_INVALID_HANDLE));
    const DWORD kUnknownFsctl = 0x00093FFCu; // a file system control nobody defines
    EXPECT_EQ(fails_with(h_, kUnknownFsctl, sizeof in), DWORD(ERROR_INVALID_FUNCTION));

    // The ranges are the file's data: a handle that may not read may not ask.
    CloseHandle(h_);
    h_ = open(path_, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_EQ(fails_with(h_, FSCTL_QUERY_ALLOCATED_RANGES, sizeof in),
              DWORD(ERROR_ACCESS_DENIED));
}

TEST_F(FileRanges, FileSizeBeyondFourGiB)
{
    ASSERT_NE(create(true), INVALID_HANDLE_VALUE);
    write_at(0x100000010LL, "x");
    LARGE_INTEGER size;
    size.QuadPart = 0;
    ASSERT_TRUE(GetFileSizeEx(h_, &size)) << GetLastError();
    EXPECT_EQ(size.QuadPart, 0x100000011LL);
    EXPECT_EQ(size.u.LowPart, 0x11u);
    EXPECT_EQ(size.u.HighPart, 1);
}
