// CreateFileA's dispositions and the errors Windows reports for them.
#include "test_root.h"

class FileCreate : public FileTest {};

TEST_F(FileCreate, CreateNewFailsOnExistingFile)
{
    HANDLE h = open(path_, GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(NO_ERROR));
    EXPECT_TRUE(CloseHandle(h));

    EXPECT_EQ(open(path_, GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_EXISTS));
}

TEST_F(FileCreate, MissingFileAndMissingDirectoryAreTold)
{
    EXPECT_EQ(open(path_, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(open(path_, GENERIC_WRITE, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));

    const std::string in_missing_dir = path_ + "_dir\\file.txt";
    EXPECT_EQ(open(in_missing_dir, GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(open(in_missing_dir, GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
}

TEST_F(FileCreate, AlwaysDispositionsReportAnExistingFile)
{
    HANDLE h = open(path_, GENERIC_WRITE, 0, OPEN_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(NO_ERROR));
    EXPECT_TRUE(write(h, "some data"));
    CloseHandle(h);

    h = open(path_, GENERIC_READ, 0, OPEN_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(read(h), "some data");
    CloseHandle(h);

    h = open(path_, GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(size_of(h), 0); // truncated
    CloseHandle(h);
}

TEST_F(FileCreate, TruncateExistingEmptiesTheFile)
{
    HANDLE h = open(path_, GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_TRUE(write(h, "0123456789"));
    CloseHandle(h);
    h = open(path_, GENERIC_READ | GENERIC_WRITE, 0, TRUNCATE_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(size_of(h), 0);
    CloseHandle(h);
}

TEST_F(FileCreate, OpenAlwaysAppendsLikeALog)
{
    for (const char *line : {"first\r\n", "second\r\n"}) {
        HANDLE h = open(path_, GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        SetFilePointer(h, 0, nullptr, FILE_END);
        EXPECT_TRUE(write(h, line));
        CloseHandle(h);
    }
    HANDLE h = open(path_, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_EQ(read(h), "first\r\nsecond\r\n");
    CloseHandle(h);
}

TEST_F(FileCreate, BadArgumentsAreRefused)
{
    EXPECT_EQ(open("", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(open(path_, GENERIC_WRITE, 0, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    // A directory cannot be opened as a file.
    EXPECT_EQ(open("C:\\", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}

TEST_F(FileCreate, DeleteFileReportsWhatIsMissing)
{
    CloseHandle(open(path_, GENERIC_WRITE, 0, CREATE_NEW));
    EXPECT_TRUE(DeleteFileA(path_.c_str()));
    EXPECT_EQ(open(path_, GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DeleteFileA(path_.c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(DeleteFileA((path_ + "_dir\\file.txt").c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(DeleteFileA(""));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
}
