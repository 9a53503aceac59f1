// Handles opened without data access (access 0), and ReOpenFile, which opens
// the same file for data: the way to look at a file before reading it.
#include "test_root.h"

class FileReopen : public FileTest {
protected:
    void SetUp() override
    {
        FileTest::SetUp();
        create_holding("kept");
    }
    HANDLE look() { return open(path_, 0, share_all_, OPEN_EXISTING); }

    const DWORD share_all_ = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
};

TEST_F(FileReopen, AHandleWithoutAccessIsReopenedForReading)
{
    HANDLE h = look();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileType(h), DWORD(FILE_TYPE_DISK));
    EXPECT_EQ(read(h), "<error 5>");
    EXPECT_FALSE(write(h, "x"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));

    HANDLE reader = ReOpenFile(h, GENERIC_READ, share_all_, 0);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h)); // the reopened handle does not depend on it
    EXPECT_EQ(GetFileType(reader), DWORD(FILE_TYPE_DISK));
    EXPECT_EQ(read(reader), "kept");
    EXPECT_FALSE(write(reader, "x"));
    CloseHandle(reader);
}

TEST_F(FileReopen, OnlyTheReopenMeetsShareModes)
{
    HANDLE exclusive = open(path_, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    HANDLE h = look(); // no data access: no conflict
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ReOpenFile(h, GENERIC_READ, share_all_, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    CloseHandle(exclusive);

    HANDLE reader = ReOpenFile(h, GENERIC_READ, FILE_SHARE_READ, 0);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ReOpenFile(h, GENERIC_READ, 0, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(open(path_, GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    CloseHandle(reader);
    CloseHandle(h);
}

TEST_F(FileReopen, BadReopensAndDirectoriesAreRefused)
{
    HANDLE h = look();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // File attributes belong to a file's creation.
    EXPECT_EQ(ReOpenFile(h, GENERIC_READ, share_all_, FILE_ATTRIBUTE_NORMAL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    CloseHandle(h);
    EXPECT_EQ(ReOpenFile(h, GENERIC_READ, share_all_, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));

    // Without backup semantics a directory is not opened, even to look at.
    EXPECT_EQ(open("C:\\", 0, share_all_, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}
