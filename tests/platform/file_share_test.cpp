// Share mode 0 makes a handle exclusive against every other handle.
#include "test_root.h"

class FileShare : public FileTest {
protected:
    void SetUp() override
    {
        FileTest::SetUp();
        create_holding("kept");
    }
    const DWORD share_all_ = FILE_SHARE_READ | FILE_SHARE_WRITE;
};

TEST_F(FileShare, ExclusiveHandleKeepsOthersOut)
{
    HANDLE exclusive = open(path_, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open(path_, GENERIC_READ, share_all_, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(open(path_, GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(CloseHandle(exclusive));

    HANDLE h = open(path_, GENERIC_READ, share_all_, OPEN_EXISTING);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

TEST_F(FileShare, SharedHandlesCoexistButBarAnExclusiveOne)
{
    HANDLE reader = open(path_, GENERIC_READ, share_all_, OPEN_EXISTING);
    HANDLE writer = open(path_, GENERIC_READ | GENERIC_WRITE, share_all_, OPEN_EXISTING);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open(path_, GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    CloseHandle(reader);
    CloseHandle(writer);
}

TEST_F(FileShare, RefusedOpenDoesNotTruncate)
{
    HANDLE exclusive = open(path_, GENERIC_READ, 0, OPEN_EXISTING);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open(path_, GENERIC_WRITE, share_all_, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(read(exclusive), "kept");
    CloseHandle(exclusive);
}
