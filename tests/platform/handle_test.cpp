// Handles that are closed or were never opened, and the per-thread last error.
#include <atomic>
#include <thread>

#include "test_root.h"

class Handles : public PlatformTest {};

TEST_F(Handles, ClosedHandleFailsEveryCall)
{
    HANDLE h = open("C:\\" + unique("test_"), GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h));

    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    char buffer[4];
    DWORD done = 99;
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &done, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(WriteFile(h, "x", 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GetFileType(h), DWORD(FILE_TYPE_UNKNOWN));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(GetMailslotInfo(h, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    DeleteFileA(("C:\\" + unique("test_")).c_str());
}

TEST_F(Handles, NullHandleIsInvalid)
{
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST_F(Handles, LastErrorBelongsToEachThread)
{
    // Both threads fail differently, then each reads its error only once
    // the other has failed too.
    std::atomic<int> failed{0};
    DWORD seen[2] = {};
    auto fail_then_look = [&](int which) {
        if (which == 0)
            CloseHandle(nullptr);
        else
            DeleteFileA("");
        ++failed;
        while (failed.load() < 2) {
        }
        seen[which] = GetLastError();
    };
    std::thread first(fail_then_look, 0), second(fail_then_look, 1);
    first.join();
    second.join();
    EXPECT_EQ(seen[0], DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(seen[1], DWORD(ERROR_PATH_NOT_FOUND));
}
