// svcctl runs only a program no other account can replace: every step of
// its path is checked at create and again at start, and what runs is the
// file checked. Needs root, to hand files to another account.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "service_fixture.h"

namespace {

class ProgramTrustTest : public ServiceTest {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to hand files to another account";
        std::filesystem::create_directories(bin_);
        chmod(bin_.c_str(), 0755);
    }

    // A #! program that leaves behind the account it ran as and its $0.
    std::string Script(const std::string &path) const
    {
        WriteWholeFile(path, "#!/bin/sh\necho \"$(id -u) $0\" >" + marker_ + "\n");
        EXPECT_EQ(chmod(path.c_str(), 0755), 0);
        return path;
    }

    void ExpectRefused(const RunResult &r, const std::string &detail)
    {
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find("FAILED 5: Access is denied. (" + detail), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }

    std::string bin_ = work_ + "/bin";
    std::string marker_ = work_ + "/ran";
};

} // namespace

TEST_F(ProgramTrustTest, AProgramAnotherAccountCouldReplaceAfterCreateIsNeverStarted)
{
    std::string elsewhere = work_ + "/elsewhere";
    std::filesystem::create_directories(elsewhere);
    chmod(elsewhere.c_str(), 0755);
    std::string file = bin_ + "/program";
    std::string link = bin_ + "/link";
    std::string target = Script(elsewhere + "/target");
    const struct {
        std::string program;
        std::function<void()> takeOver; // what another account could do once it may
        std::string detail;
    } cases[] = {
        {file, [&] { ASSERT_EQ(chown(Script(file).c_str(), kNobody, kNobody), 0); },
         file + " belongs to uid 65534 (nobody), not to root, so another account could replace " +
             file},
        {link, [&] { ASSERT_EQ(chown(elsewhere.c_str(), kNobody, kNobody), 0); },
         elsewhere + " belongs to uid 65534 (nobody), not to root, so another account could "
                     "replace " + link},
        {file, [&] { ASSERT_EQ(chmod(bin_.c_str(), 0777), 0); },
         bin_ + " may be written by every account (o+w, mode 0777), so another account could "
                "replace " + file},
    };
    int n = 0;
    for (const auto &c : cases) {
        std::string name = "Case " + std::to_string(n++);
        std::filesystem::remove(link);
        std::filesystem::remove(file);
        Script(file);
        std::filesystem::create_symlink(target, link);
        RunResult created = Svcctl({"create", name, c.program});
        ASSERT_EQ(created.exitCode, 0) << created.err;
        c.takeOver();
        ExpectRefused(Svcctl({"start", name}), c.detail);
        EXPECT_FALSE(std::filesystem::exists(marker_)) << c.detail;
        EXPECT_FALSE(std::filesystem::exists(root_ + "/services/" + name + "/history"));
        EXPECT_NE(Svcctl({"query", name}).out.find("1  STOPPED"), std::string::npos);
        chown(elsewhere.c_str(), 0, 0);
        chmod(bin_.c_str(), 0755);
    }
}

TEST_F(ProgramTrustTest, WhatRunsIsTheCheckedFileAndEveryStepToIt)
{
    // A script runs through its checked descriptor, and so as root.
    std::string script = Script(bin_ + "/script");
    ASSERT_EQ(Svcctl({"create", kServiceName, script}).exitCode, 0);
    EXPECT_NE(Svcctl({"start", kServiceName}).exitCode, 0); // it never reports
    EXPECT_EQ(ReadWholeFile(marker_).rfind("0 /dev/fd/", 0), 0u) << ReadWholeFile(marker_);

    // Its interpreter is a step too.
    std::string shared = work_ + "/shared";
    std::filesystem::create_directories(shared);
    ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
    std::filesystem::copy_file("/bin/sh", shared + "/sh");
    WriteWholeFile(script, "#!" + shared + "/sh\n");
    ExpectRefused(Svcctl({"create", "Interpreted", script}),
                  shared + " may be written by every account (o+w, mode 0777), so another account "
                           "could replace " + shared + "/sh, the interpreter of " + script);

    // In a sticky folder open to all, as /tmp, an entry must be root's too,
    // a link as much as a file.
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    std::filesystem::create_directory_symlink(bin_, shared + "/bin");
    ASSERT_EQ(lchown((shared + "/bin").c_str(), kNobody, kNobody), 0);
    ExpectRefused(Svcctl({"create", "Planted", shared + "/bin/script"}),
                  shared + "/bin belongs to uid 65534 (nobody)");

    // A folder of the account a service runs as is that service's to use.
    ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
    std::string own = root_ + "/nobody";
    std::filesystem::create_directories(own);
    ASSERT_EQ(chown(own.c_str(), kNobody, kNobody), 0);
    std::filesystem::create_symlink(ProgramForOthers(SERVICE_PATH), own + "/service");
    RunResult asNobody = Svcctl({"create", "Own", own + "/service", "--user", "nobody"});
    EXPECT_EQ(asNobody.exitCode, 0) << asNobody.err;
    ExpectRefused(Svcctl({"create", "Root's", own + "/service"}),
                  own + " belongs to uid 65534 (nobody), not to root, so");
}
