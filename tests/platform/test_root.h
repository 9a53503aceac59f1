// The fixture every platform test uses, and small helpers over the API.
//
// On POSIX each test gets a fresh machine directory (W32_ROOT) holding only
// drive C, so drive paths and mailslot names never meet another test's; on
// Windows the machine is the real one and these are no-ops.
#ifndef TESTS_PLATFORM_TEST_ROOT_H
#define TESTS_PLATFORM_TEST_ROOT_H

#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"

// Makes a fresh machine directory with drive C and points the layer at it.
void test_root_enter();
// Removes it again.
void test_root_leave();
// Its path ("" on Windows).
std::string test_root_path();

class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override { test_root_enter(); }
    void TearDown() override { test_root_leave(); }

    // A name unique to the running test, e.g. for a mailslot.
    static std::string unique(const char *prefix)
    {
        const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
        return std::string(prefix) + info->test_suite_name() + "_" + info->name();
    }
    static std::string slot_name(const char *host = ".")
    {
        return std::string("\\\\") + host + "\\mailslot\\" + unique("t_");
    }
    // A native path inside the machine root (POSIX only).
    static std::string at(const std::string &relative)
    {
        return test_root_path() + "/" + relative;
    }

    static HANDLE open(const std::string &name, DWORD access, DWORD share, DWORD disposition,
                       DWORD flags = FILE_ATTRIBUTE_NORMAL)
    {
        return CreateFileA(name.c_str(), access, share, nullptr, disposition, flags, nullptr);
    }
    static HANDLE open_slot_writer(const std::string &name)
    {
        return open(name, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
    }
    static bool write(HANDLE h, const std::string &data)
    {
        DWORD done = 0;
        return WriteFile(h, data.data(), DWORD(data.size()), &done, nullptr) &&
               done == data.size();
    }
    // Reads up to `size` bytes; "<error N>" when ReadFile fails.
    static std::string read(HANDLE h, DWORD size = 4096)
    {
        std::string data(size, '\0');
        DWORD done = 0;
        if (!ReadFile(h, &data[0], size, &done, nullptr))
            return "<error " + std::to_string(GetLastError()) + ">";
        data.resize(done);
        return data;
    }
    // The file's size, leaving the file pointer at its end.
    static long long size_of(HANDLE h)
    {
        LONG high = 0;
        DWORD low = SetFilePointer(h, 0, &high, FILE_END);
        return (static_cast<long long>(high) << 32) | low;
    }
};

// A test around one file of its own on drive C, removed afterwards.
class FileTest : public PlatformTest {
protected:
    void TearDown() override
    {
        DeleteFileA(path_.c_str());
        PlatformTest::TearDown();
    }
    // Creates the file holding data.
    void create_holding(const std::string &data)
    {
        HANDLE h = open(path_, GENERIC_WRITE, 0, CREATE_ALWAYS);
        ASSERT_TRUE(write(h, data));
        CloseHandle(h);
    }
    const std::string path_ = "C:\\" + unique("test_");
};

#endif
