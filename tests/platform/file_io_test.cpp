// ReadFile, WriteFile, SetFilePointer and SetEndOfFile on disk files.
#include "test_root.h"
#include "wine.h"

class FileIo : public PlatformTest {
protected:
    void TearDown() override
    {
        if (h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
        DeleteFileA(path_.c_str());
        PlatformTest::TearDown();
    }
    HANDLE create(DWORD flags = FILE_ATTRIBUTE_NORMAL)
    {
        h_ = open(path_, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, flags);
        return h_;
    }
    const std::string path_ = "C:\\" + unique("test_");
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

TEST_F(FileIo, ReadsBackWhatWasWrittenThenEndOfFile)
{
    ASSERT_NE(create(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(write(h_, "hello, world"));
    EXPECT_EQ(SetFilePointer(h_, 7, nullptr, FILE_BEGIN), 7u);
    EXPECT_EQ(read(h_), "world");
    EXPECT_EQ(read(h_), ""); // end of file: success, nothing read
    EXPECT_EQ(SetFilePointer(h_, -5, nullptr, FILE_CURRENT), 7u);
    EXPECT_EQ(read(h_, 2), "wo");
}

TEST_F(FileIo, FilePointerBeyondFourGiB)
{
    ASSERT_NE(create(), INVALID_HANDLE_VALUE);
    LONG high = 1;
    EXPECT_EQ(SetFilePointer(h_, 0x10, &high, FILE_BEGIN), 0x10u);
    EXPECT_EQ(GetLastError(), DWORD(NO_ERROR));
    EXPECT_EQ(high, 1);
    EXPECT_TRUE(write(h_, "x"));
    EXPECT_EQ(size_of(h_), 0x100000011LL);

    high = 1;
    SetFilePointer(h_, 0x10, &high, FILE_BEGIN);
    EXPECT_EQ(read(h_), "x");

    // The low part 0xFFFFFFFF is a position, told apart by NO_ERROR.
    high = 0;
    EXPECT_EQ(SetFilePointer(h_, LONG(0xFFFFFFFF), &high, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), DWORD(NO_ERROR));
    EXPECT_EQ(high, 0);
}

TEST_F(FileIo, NegativePositionIsRefused)
{
    ASSERT_NE(create(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(write(h_, "abc"));
    EXPECT_EQ(SetFilePointer(h_, -10, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NEGATIVE_SEEK));
    EXPECT_EQ(SetFilePointer(h_, 0, nullptr, FILE_CURRENT), 3u); // unmoved
}

TEST_F(FileIo, HandlesOnlyDoWhatTheyWereOpenedFor)
{
    ASSERT_NE(create(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(write(h_, "data"));
    EXPECT_EQ(GetFileType(h_), DWORD(FILE_TYPE_DISK));
    CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
    HANDLE reader = open(path_, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    EXPECT_FALSE(write(reader, "more"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    CloseHandle(reader);
    HANDLE writer = open(path_, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    EXPECT_EQ(read(writer), "<error 5>");
    CloseHandle(writer);
}

TEST_F(FileIo, SetEndOfFileCutsOrExtendsAtThePointer)
{
    ASSERT_NE(create(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(write(h_, "0123456789"));
    EXPECT_EQ(SetFilePointer(h_, 4, nullptr, FILE_BEGIN), 4u);
    EXPECT_TRUE(SetEndOfFile(h_));
    EXPECT_EQ(SetFilePointer(h_, 0, nullptr, FILE_CURRENT), 4u); // the pointer stays
    EXPECT_EQ(size_of(h_), 4);

    EXPECT_EQ(SetFilePointer(h_, 6, nullptr, FILE_BEGIN), 6u);
    EXPECT_TRUE(SetEndOfFile(h_));
    SetFilePointer(h_, 0, nullptr, FILE_BEGIN);
    EXPECT_EQ(read(h_), std::string("0123\0\0", 6));
}

TEST_F(FileIo, SetEndOfFileNeedsAWritableHandle)
{
    SKIP_UNDER_WINE("tries the cut and reports ERROR_INVALID_PARAMETER");
    ASSERT_NE(create(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(write(h_, "data"));
    HANDLE reader = open(path_, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(SetEndOfFile(reader));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    CloseHandle(reader);
    EXPECT_EQ(size_of(h_), 4);
}
