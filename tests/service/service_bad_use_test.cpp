// svcctl refusing what it cannot do: one line, a non-zero status, and no
// state left behind.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "service_fixture.h"

namespace {

void ExpectRefused(const RunResult &r, const std::string &code)
{
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("FAILED " + code + ":"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

const char *const kLookups[] = {"start", "run", "stop", "interrogate",
                                "query", "history", "delete"};

} // namespace

TEST_F(ServiceTest, AnUnknownServiceIsRefusedByEveryCommand)
{
    for (const char *command : kLookups)
        ExpectRefused(Svcctl({command, "No such service"}), "1060");
    ExpectRefused(Svcctl({"control", "No such service", "200"}), "1060");
}

TEST_F(ServiceTest, StartingTwiceIsRefusedAndTheFirstRunGoesOn)
{
    Register();
    ExpectRefused(Svcctl({"create", "SAMPLE SERVICE", "/bin/true"}), "1073");
    ASSERT_EQ(Svcctl({"start", kServiceName}).exitCode, 0);
    long pid = QueryPid();

    ExpectRefused(Svcctl({"start", kServiceName}), "1056");
    ExpectRefused(Svcctl({"delete", kServiceName}), "1056");
    EXPECT_EQ(QueryPid(), pid);

    EXPECT_EQ(Svcctl({"stop", kServiceName}).exitCode, 0);
    ExpectRefused(Svcctl({"stop", kServiceName}), "1062");
    ExpectRefused(Svcctl({"interrogate", kServiceName}), "1062");
    EXPECT_EQ(Svcctl({"delete", kServiceName}).exitCode, 0);
    ExpectRefused(Svcctl({"query", kServiceName}), "1060");
}

TEST_F(ServiceTest, AMissingProgramFailsToStartAndLeavesNoState)
{
    ASSERT_EQ(Svcctl({"create", kServiceName, work_ + "/no-such-program"}).exitCode, 0);
    ExpectRefused(Svcctl({"start", kServiceName}), "2");
    // The same answer again: nothing of the first attempt is in the way.
    ExpectRefused(Svcctl({"start", kServiceName}), "2");
    EXPECT_FALSE(std::filesystem::exists(root_ + "/services/" + kServiceName + "/control.sock"));
    EXPECT_EQ(QueryPid(), 0);
    EXPECT_EQ(Svcctl({"delete", kServiceName}).exitCode, 0);
}

TEST_F(ServiceTest, ALookupWhereNothingIsRegisteredSaysSoAndCreatesNothing)
{
    std::string absent = root_ + "/absent";
    setenv("W32_ROOT", absent.c_str(), 1);
    for (const char *command : kLookups) {
        RunResult r = Svcctl({command, kServiceName});
        ExpectRefused(r, "1060");
        EXPECT_NE(r.err.find("nothing is registered"), std::string::npos) << r.err;
    }
    ExpectRefused(Svcctl({"control", kServiceName, "200"}), "1060");
    EXPECT_FALSE(std::filesystem::exists(absent));

    // A machine root without its services folder is left as it is too.
    setenv("W32_ROOT", root_.c_str(), 1);
    RunResult query = Svcctl({"query", kServiceName});
    ExpectRefused(query, "1060");
    EXPECT_NE(query.err.find("no services folder"), std::string::npos) << query.err;
    EXPECT_FALSE(std::filesystem::exists(root_ + "/services"));

    RunResult created = Svcctl({"create", kServiceName, SERVICE_PATH});
    EXPECT_EQ(created.exitCode, 0) << created.err;
    EXPECT_EQ(Svcctl({"query", kServiceName}).exitCode, 0);
}

TEST_F(ServiceTest, AProgramThatCannotRunIsRefusedWith193EveryTime)
{
    // No execute permission is known when the service is registered.
    std::string text = MakeFile("notes.txt", "plain text\n");
    RunResult created = Svcctl({"create", kServiceName, text});
    ExpectRefused(created, "193");
    EXPECT_NE(created.err.find(text), std::string::npos) << created.err;

    // Executable text without a #! line: only running it tells, and it tells
    // the same every time, started in the background or in the foreground.
    ASSERT_EQ(chmod(text.c_str(), 0755), 0);
    ASSERT_EQ(Svcctl({"create", kServiceName, text}).exitCode, 0);
    for (int i = 0; i < 10; i++) {
        RunResult start = Svcctl({"start", kServiceName});
        ExpectRefused(start, "193");
        EXPECT_NE(start.err.find(text), std::string::npos) << start.err;
    }
    ExpectRefused(Svcctl({"run", kServiceName}), "193");

    // Execute permission taken away after registration.
    ASSERT_EQ(chmod(text.c_str(), 0644), 0);
    for (int i = 0; i < 3; i++)
        ExpectRefused(Svcctl({"start", kServiceName}), "193");
    EXPECT_EQ(QueryPid(), 0);
}

TEST_F(ServiceTest, StateOtherAccountsCouldTamperWithIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another account";
    Register();
    ASSERT_EQ(Svcctl({"start", kServiceName}).exitCode, 0);

    // Another account reaches neither the service's state nor its control socket.
    ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
    RunResult stranger = SvcctlAsNobody({"stop", kServiceName});
    EXPECT_NE(stranger.exitCode, 0);
    EXPECT_GT(QueryPid(), 0);
    EXPECT_EQ(Svcctl({"stop", kServiceName}).exitCode, 0);

    // A services directory handed to another account is not used.
    std::string services = root_ + "/services";
    ASSERT_EQ(chown(services.c_str(), 65534, 65534), 0);
    RunResult foreign = Svcctl({"query", kServiceName});
    EXPECT_EQ(foreign.exitCode, 1);
    EXPECT_EQ(foreign.err, "svcctl: " + services + " belongs to uid 65534 (nobody), not to you or "
                           "root: remove it, or set W32_ROOT to a directory of your own\n");
    ASSERT_EQ(chown(services.c_str(), 0, 0), 0);

    // Nor one replaced by a link.
    std::filesystem::rename(services, root_ + "/elsewhere");
    std::filesystem::create_directory_symlink(root_ + "/elsewhere", services);
    RunResult linked = Svcctl({"query", kServiceName});
    EXPECT_EQ(linked.exitCode, 1);
    EXPECT_NE(linked.err.find("symbolic link"), std::string::npos) << linked.err;
}

TEST_F(ServiceTest, AMachineRootOfAnotherAccountIsRefusedByEveryCommandInOneLine)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to hand the machine root to another account";
    Register();
    ASSERT_EQ(chown(root_.c_str(), kNobody, kNobody), 0);
    // Every entry with its owner and mode, but the test's own files.
    auto tree = [&] {
        std::string listing;
        for (const auto &entry : std::filesystem::recursive_directory_iterator(root_)) {
            struct stat st;
            if (entry.path().string().rfind(work_, 0) != 0 &&
                lstat(entry.path().c_str(), &st) == 0)
                listing += entry.path().string() + " " + std::to_string(st.st_uid) + " " +
                           std::to_string(st.st_mode) + "\n";
        }
        return listing;
    };
    const std::string before = tree();

    std::vector<std::vector<std::string>> commands = {
        {"create", "Other", SERVICE_PATH},
        {"create", "Other", SERVICE_PATH, "--user", "nobody"},
        {"control", kServiceName, "200"}};
    for (const char *command : kLookups)
        commands.push_back({command, kServiceName});
    for (const std::vector<std::string> &command : commands) {
        RunResult r = Svcctl(command);
        EXPECT_EQ(r.exitCode, 1) << command[0];
        EXPECT_EQ(r.err, "svcctl: " + root_ + " belongs to uid 65534 (nobody), not to you or "
                         "root: remove it, or set W32_ROOT to a directory of your own\n")
            << command[0];
    }
    EXPECT_EQ(tree(), before);
}

TEST_F(ServiceTest, AProgramPathTheSystemCannotFollowIsRefusedWithThePlatformsCode)
{
    // Neither can be looked at when registered, so start is the one to refuse.
    std::string file = MakeFile("notes.txt", "plain text\n");
    const struct {
        std::string program;
        std::string code;
        std::string text;
    } cases[] = {
        {file + "/program", "3", "The system cannot find the path specified."},
        {work_ + "/" + std::string(300, 'p'), "206", "The filename or extension is too long."},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(Svcctl({"create", kServiceName, c.program}).exitCode, 0);
        RunResult start = Svcctl({"start", kServiceName});
        ExpectRefused(start, c.code);
        EXPECT_NE(start.err.find(c.text), std::string::npos) << start.err;
        EXPECT_EQ(Svcctl({"delete", kServiceName}).exitCode, 0);
    }
}

TEST_F(ServiceTest, AControlCodeIsADecimalNumberFrom1To4294967295)
{
    Register();
    ASSERT_EQ(Svcctl({"start", kServiceName}).exitCode, 0);
    for (const char *bad : {"0", "-1", "+5", " 5", "12a", "", "4294967296", "99999999999999999999999"}) {
        RunResult r = Svcctl({"control", kServiceName, bad});
        EXPECT_EQ(r.exitCode, 2) << "'" << bad << "': " << r.err;
        EXPECT_EQ(r.err.rfind("usage: svcctl", 0), 0u) << r.err;
    }
    // The largest passes svcctl and its supervising process, and is refused
    // as no control a service may be sent; leading zeros change nothing.
    ExpectRefused(Svcctl({"control", kServiceName, "4294967295"}), "87");
    RunResult own = Svcctl({"control", kServiceName, "0200"});
    EXPECT_EQ(own.exitCode, 0) << own.err;
    EXPECT_EQ(History().size(), 3u); // the start's two reports and the one 200 asked for
    EXPECT_EQ(Svcctl({"stop", kServiceName}).exitCode, 0);
}
