// The decision made from a requested path's name alone, before anything is
// opened: devices and other hosts' pipes and mailslots are refused.
#include <string>

#include <gtest/gtest.h>

#include "mailslot/request_path.h"

namespace {

TEST(RequestPath, DeviceNamespacesAreToldFromFiles)
{
    for (const char *device :
         {"\\\\.\\NUL", "//./nul", "\\/.\\CON", "\\\\.\\C:", "\\\\.\\PhysicalDrive0", "\\\\.",
          "\\\\.\\pipe\\x", "\\\\.\\mailslot\\x", "\\\\?\\GLOBALROOT\\Device\\Null", "\\\\?\\C:",
          "\\\\?\\Volume{1}\\x", "\\\\?", "\\\\?\\UNC", "\\\\?\\unc\\host\\PIPE\\x",
          "\\??\\C:\\x", "/\?\?/C:/x", "\\\\host\\pipe\\x", "\\\\host\\MailSlot",
          "\\\\*\\mailslot\\x"})
        EXPECT_TRUE(IsDevicePath(device)) << device;
    for (const char *file :
         {"C:\\x.txt", "\\\\?\\C:\\x.txt", "\\\\?\\UNC\\host\\share\\x", "\\\\host\\share\\x",
          "\\\\host\\pipes\\x", "\\\\host", "\\\\.x\\share\\y", "/tmp/x", "//tmp/x", "/dev/null",
          "relative", ""})
        EXPECT_FALSE(IsDevicePath(file)) << file;
}

TEST(RequestPath, AFullPathIsMadeWithinTheBufferOrTheRequestIsRefused)
{
    char full[64];
    EXPECT_TRUE(GetRequestFullPath("C:\\a\\..\\b.txt", full, sizeof full));
    EXPECT_STREQ(full, "C:\\b.txt");
    EXPECT_FALSE(GetRequestFullPath("\\\\.\\NUL", full, sizeof full));
    EXPECT_FALSE(GetRequestFullPath("\\\\?\\GLOBALROOT\\Device\\Null", full, sizeof full));
    EXPECT_FALSE(GetRequestFullPath("", full, sizeof full));

    std::string fits = "C:\\" + std::string(sizeof full - 4, 'x'); // and its NUL
    EXPECT_TRUE(GetRequestFullPath(fits.c_str(), full, sizeof full));
    EXPECT_EQ(full, fits);
    EXPECT_FALSE(GetRequestFullPath((fits + "x").c_str(), full, sizeof full));
}

} // namespace
