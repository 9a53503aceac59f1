// GetFullPathNameA on drive paths, and GetComputerNameA.
#include <cctype>
#include <cstring>
#include <string>

#include "test_root.h"

class Names : public PlatformTest {
protected:
    static std::string full_path(const char *name)
    {
        char buffer[MAX_PATH];
        DWORD length = GetFullPathNameA(name, sizeof buffer, buffer, nullptr);
        return length == 0 || length >= sizeof buffer ? "<failed>" : std::string(buffer, length);
    }
};

TEST_F(Names, DrivePathsAreNormalised)
{
    EXPECT_EQ(full_path("C:\\a\\.\\b\\..\\c.txt"), "C:\\a\\c.txt");
    EXPECT_EQ(full_path("C:/a//b"), "C:\\a\\b");
    EXPECT_EQ(full_path("C:\\..\\..\\x.log"), "C:\\x.log"); // never above the root
    EXPECT_EQ(full_path("C:\\"), "C:\\");
}

TEST_F(Names, FullPathGivesTheSizeNeededAndTheFilePart)
{
    const char *name = "C:\\dir\\file.txt";
    DWORD needed = GetFullPathNameA(name, 0, nullptr, nullptr);
    EXPECT_EQ(needed, DWORD(strlen(name) + 1));

    char small[8];
    EXPECT_EQ(GetFullPathNameA(name, sizeof small, small, nullptr), needed);

    std::string exact(needed, '\0');
    char *file_part = nullptr;
    EXPECT_EQ(GetFullPathNameA(name, needed, &exact[0], &file_part), needed - 1);
    ASSERT_NE(file_part, nullptr);
    EXPECT_STREQ(file_part, "file.txt");

    EXPECT_EQ(GetFullPathNameA("", sizeof small, small, nullptr), 0u);
}

TEST_F(Names, ComputerNameIsShortAndUpperCase)
{
    char name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof name;
    ASSERT_TRUE(GetComputerNameA(name, &size));
    EXPECT_EQ(size, DWORD(strlen(name)));
    EXPECT_GT(size, 0u);
    EXPECT_LE(size, DWORD(MAX_COMPUTERNAME_LENGTH));
    for (DWORD i = 0; i < size; ++i)
        EXPECT_EQ(name[i], toupper(static_cast<unsigned char>(name[i])));

    DWORD too_small = size; // no room for the terminating NUL
    EXPECT_FALSE(GetComputerNameA(name, &too_small));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BUFFER_OVERFLOW));
    EXPECT_EQ(too_small, size + 1);
}
