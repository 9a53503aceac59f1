// Where the stand-in keeps the machine, and how it refuses a tampered one:
// links, foreign owners and writable directories in $W32_ROOT.
#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/machine_root.h"
#include "platform/posix/trust.h"
#include "platform/posix/unique_fd.h"
#include "platform/posix/windows_names.h"
#include "support/files.h"
#include "test_root.h"

class Layout : public PlatformTest {
protected:
    static bool exists(const std::string &path)
    {
        struct stat st;
        return lstat(path.c_str(), &st) == 0;
    }
    static mode_t mode_of(const std::string &path)
    {
        struct stat st;
        return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
    }
    // Creates `name` with some data; the last error, 0 on success.
    static DWORD create(const std::string &name)
    {
        HANDLE h = open(name, GENERIC_WRITE, 0, CREATE_ALWAYS);
        if (h == INVALID_HANDLE_VALUE)
            return GetLastError();
        write(h, "data");
        CloseHandle(h);
        return 0;
    }
};

TEST_F(Layout, DrivePathsLiveUnderTheRoot)
{
    EXPECT_EQ(create("C:\\ZQ_logfile.log"), 0u);
    EXPECT_EQ(ReadWholeFile(at("drive_c/ZQ_logfile.log")), "data");
    EXPECT_EQ(mode_of(at("drive_c")), 0755u);
    EXPECT_EQ(mode_of(test_root_path()), 0755u);

    ASSERT_EQ(mkdir(at("drive_d").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(at("drive_d/sub").c_str(), 0755), 0);
    EXPECT_EQ(create("d:/sub/./x//y/../../..\\..\\top.txt"), 0u);
    EXPECT_TRUE(exists(at("drive_d/top.txt")));
    EXPECT_EQ(create("D:\\sub\\in.txt"), 0u);
    EXPECT_TRUE(exists(at("drive_d/sub/in.txt")));
    EXPECT_TRUE(DeleteFileA("D:\\sub\\in.txt"));
    EXPECT_FALSE(exists(at("drive_d/sub/in.txt")));
}

TEST_F(Layout, TheMachineRootIsAnAbsolutePathWhateverW32RootSays)
{
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(mkdir(at("sub").c_str(), 0755), 0);
    ASSERT_EQ(chdir(test_root_path().c_str()), 0);
    setenv("W32_ROOT", "sub/./machine//", 1);
    EXPECT_EQ(w32::machine_root_path(), at("sub/machine"));
    EXPECT_EQ(create("C:\\a.txt"), 0u);
    EXPECT_EQ(ReadWholeFile(at("sub/machine/drive_c/a.txt")), "data");
    ASSERT_EQ(chdir(cwd), 0);

    setenv("W32_ROOT", "//tmp//other/", 1);
    EXPECT_EQ(w32::machine_root_path(), "/tmp/other");
    setenv("W32_ROOT", "", 1);
    EXPECT_EQ(w32::machine_root_path(), "/tmp/w32root");
    unsetenv("W32_ROOT");
    EXPECT_EQ(w32::machine_root_path(), "/tmp/w32root");
}

TEST_F(Layout, MissingRootIsCreatedWithExactModes)
{
    std::string fresh = at("fresh");
    setenv("W32_ROOT", fresh.c_str(), 1);
    mode_t old_umask = umask(077);
    EXPECT_EQ(create("C:\\a.txt"), 0u);
    HANDLE slot = CreateMailslotA("\\\\.\\mailslot\\layout", 0, 0, nullptr);
    umask(old_umask);
    ASSERT_NE(slot, INVALID_HANDLE_VALUE);
    EXPECT_EQ(mode_of(fresh), 0755u);
    EXPECT_EQ(mode_of(fresh + "/drive_c"), 0755u);
    EXPECT_EQ(mode_of(fresh + "/mailslot"), 01777u);
    CloseHandle(slot);
}

TEST_F(Layout, OnlyACallThatMayCreateAFileMakesTheFolders)
{
    // Lookups on a drive never written to find no drive, and make none.
    EXPECT_EQ(open("Q:\\x", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(open("Q:\\x", 0, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(open("Q:\\x", GENERIC_WRITE, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(DeleteFileA("Q:\\x"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(exists(at("drive_q")));

    // Nor does a missing machine root come to be.
    std::string fresh = at("fresh");
    setenv("W32_ROOT", fresh.c_str(), 1);
    EXPECT_EQ(open("C:\\x", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(exists(fresh));

    for (DWORD disposition : {CREATE_NEW, CREATE_ALWAYS, OPEN_ALWAYS}) {
        std::string drive(1, char('q' + disposition));
        HANDLE h = open(drive + ":\\x", GENERIC_WRITE, 0, disposition);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << disposition;
        CloseHandle(h);
        EXPECT_TRUE(exists(fresh + "/drive_" + drive + "/x")) << disposition;
    }
}

TEST_F(Layout, NativePathsAreUsedAsGiven)
{
    std::string native = at("native.txt");
    EXPECT_EQ(create(native), 0u);
    EXPECT_EQ(ReadWholeFile(native), "data");

    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    char full[4096];
    DWORD length = GetFullPathNameA("rel.txt", sizeof full, full, nullptr);
    EXPECT_EQ(std::string(full, length), std::string(cwd) + "/rel.txt");
}

TEST_F(Layout, PlantedLinksAreRefused)
{
    std::string elsewhere = at("elsewhere");
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);

    // A link in place of the log file.
    ASSERT_EQ(symlink((elsewhere + "/log").c_str(), at("drive_c/ZQ_logfile.log").c_str()), 0);
    EXPECT_EQ(create("C:\\ZQ_logfile.log"), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(open("C:\\ZQ_logfile.log", GENERIC_WRITE, 0, OPEN_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(exists(elsewhere + "/log"));

    // A link looked at without data access, as the link itself.
    ASSERT_EQ(symlink("/dev/null", at("drive_c/null").c_str()), 0);
    EXPECT_EQ(open("C:\\null", 0, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));

    // A link in place of a directory on the way.
    ASSERT_EQ(symlink(elsewhere.c_str(), at("drive_c/sub").c_str()), 0);
    EXPECT_EQ(create("C:\\sub\\f.txt"), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(exists(elsewhere + "/f.txt"));

    // A link in place of the drive.
    ASSERT_EQ(symlink(elsewhere.c_str(), at("drive_e").c_str()), 0);
    EXPECT_EQ(create("E:\\f.txt"), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(exists(elsewhere + "/f.txt"));
}

TEST_F(Layout, UnsafeDirectoriesAreRefused)
{
    ASSERT_EQ(chmod(at("drive_c").c_str(), 0775), 0); // group-writable
    EXPECT_EQ(create("C:\\f.txt"), DWORD(ERROR_ACCESS_DENIED));

    ASSERT_EQ(mkdir(at("mailslot").c_str(), 0755), 0);
    ASSERT_EQ(chmod(at("mailslot").c_str(), 0777), 0); // writable by all, not sticky
    EXPECT_EQ(CreateMailslotA("\\\\.\\mailslot\\x", 0, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));

    FILE *file = fopen(at("drive_d").c_str(), "w"); // not a directory
    ASSERT_NE(file, nullptr);
    fclose(file);
    EXPECT_EQ(create("D:\\f.txt"), DWORD(ERROR_ACCESS_DENIED));

    ASSERT_EQ(mkdir(at("drive_e").c_str(), 0755), 0);
    EXPECT_EQ(create("E:\\f.txt"), 0u);
    if (geteuid() == 0) { // another ordinary account's directory
        ASSERT_EQ(chown(at("drive_e").c_str(), 65534, 65534), 0);
        EXPECT_EQ(create("E:\\f.txt"), DWORD(ERROR_ACCESS_DENIED));
    }
}

TEST_F(Layout, RootThatIsALinkIsRefused)
{
    std::string link = at("root_link");
    ASSERT_EQ(symlink(test_root_path().c_str(), link.c_str()), 0);
    setenv("W32_ROOT", link.c_str(), 1);
    EXPECT_EQ(create("C:\\f.txt"), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(CreateMailslotA("\\\\.\\mailslot\\x", 0, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}

TEST_F(Layout, ThePathWalkJudgesEveryStepWhereverLinksLead)
{
    // The root is the test's own (0755, root's or the tester's), in /tmp.
    uid_t me = geteuid();
    ASSERT_EQ(mkdir(at("a").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(at("open").c_str(), 0777), 0);
    ASSERT_EQ(chmod(at("open").c_str(), 0777), 0);
    WriteWholeFile(at("a/file"), "x");
    ASSERT_EQ(symlink("../open", at("a/up").c_str()), 0);
    ASSERT_EQ(symlink(at("a/..").c_str(), at("a/abs").c_str()), 0);
    ASSERT_EQ(symlink("loop", at("a/loop").c_str()), 0);

    auto walk = [&](const std::string &path, w32::UntrustedStep *step = nullptr) {
        w32::UniqueFd fd;
        w32::UntrustedStep ignored;
        errno = 0;
        bool ok = w32::open_trusted_path(path, me, &fd, step ? step : &ignored);
        EXPECT_EQ(ok, fd.valid()) << path;
        return ok ? 0 : errno;
    };
    EXPECT_EQ(walk(at("a/./file")), 0);
    EXPECT_EQ(walk(at("a/abs/a/file")), 0); // abs leads back to the root
    EXPECT_EQ(walk(at("a/file/x")), ENOTDIR);
    EXPECT_EQ(walk(at("a/missing")), ENOENT);
    EXPECT_EQ(walk(at("a/loop")), ELOOP);

    w32::UntrustedStep step;
    EXPECT_EQ(walk(at("a/up/anything"), &step), EACCES);
    EXPECT_EQ(step.path, at("open")); // named by where the link led
    EXPECT_EQ(step.verdict.reason, w32::TrustVerdict::OthersWritable);
    ASSERT_EQ(chmod(at("open").c_str(), 01777), 0); // sticky: entries of its own are fine
    WriteWholeFile(at("open/mine"), "x");
    EXPECT_EQ(walk(at("a/up/mine")), 0);
    ASSERT_EQ(chmod(at("open").c_str(), 0775), 0);
    EXPECT_EQ(walk(at("a/up/mine"), &step), EACCES);
    EXPECT_EQ(step.verdict.reason, w32::TrustVerdict::GroupWritable);
}

TEST_F(Layout, NamesFoldTheirCaseBeyondAsciiAndStayFolded)
{
    using w32::fold_name_case;
    EXPECT_TRUE(w32::same_name("café", "CAFÉ"));
    EXPECT_TRUE(w32::same_name("Straße Ωμέγα", "STRAßE ΩΜΈΓΑ"));
    EXPECT_FALSE(w32::same_name("cafe", "café"));  // an accent is no case
    EXPECT_FALSE(w32::same_name("a€", "A$"));      // nor is a sign
    EXPECT_EQ(fold_name_case("A\xff\xc3("), "a\xff\xc3("); // bytes of no character stay
    EXPECT_EQ(fold_name_case("\xc3\x89\xed\xa0\x80"), "\xc3\xa9\xed\xa0\x80"); // nor a surrogate

    // Folding a folded name changes nothing, for every character.
    for (unsigned c = 1; c <= 0x10ffff; ++c) {
        if (c >= 0xd800 && c <= 0xdfff)
            continue;
        std::string one;
        if (c < 0x80) {
            one = char(c);
        } else if (c < 0x800) {
            one = {char(0xc0 | c >> 6), char(0x80 | (c & 0x3f))};
        } else if (c < 0x10000) {
            one = {char(0xe0 | c >> 12), char(0x80 | ((c >> 6) & 0x3f)), char(0x80 | (c & 0x3f))};
        } else {
            one = {char(0xf0 | c >> 18), char(0x80 | ((c >> 12) & 0x3f)),
                   char(0x80 | ((c >> 6) & 0x3f)), char(0x80 | (c & 0x3f))};
        }
        std::string folded = fold_name_case(one);
        ASSERT_EQ(fold_name_case(folded), folded) << std::hex << c;
    }
}
