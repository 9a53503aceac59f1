// A service registered to run as an account of its own (svcctl create
// --user nobody): the process is that account's and nothing of its caller's,
// it answers with that account's rights, its log and slot are its own, and
// svcctl refuses what the caller may not ask for. Needs root.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>

#include "platform/platform.h"
#include "reliability_fixture.h"

namespace {

class ServiceAccountTest : public ReliabilityTest {
protected:
    void SetUp() override
    {
        ReliabilityTest::SetUp();
        if (!IsRoot())
            GTEST_SKIP() << "needs root to register a service for another account";
        // The account must reach the machine root, as on a shared machine.
        ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
    }

    void StartAsNobody()
    {
        RunResult created =
            Svcctl({"create", kServiceName, ProgramForOthers(SERVICE_PATH), "--user", "nobody"});
        ASSERT_EQ(created.exitCode, 0) << created.err;
        RunResult start = Svcctl({"start", kServiceName});
        ASSERT_EQ(start.exitCode, 0) << start.err;
        ASSERT_TRUE(WaitForLog("Mailslot server demo\n\r\n"));
    }

    // A file of `mode` in a folder every account may enter.
    std::string SharedFile(const std::string &name, mode_t mode) const
    {
        std::string dir = root_ + "/shared";
        mkdir(dir.c_str(), 0755);
        std::string path = dir + "/" + name;
        WriteWholeFile(path, "a b c");
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    }

    static std::string CantOpen(const std::string &path) { return "(Server)Can't open " + path + "!\n"; }
};

// The value of a "Name:" line of /proc/PID/status, tabs as spaces.
std::string StatusField(long pid, const std::string &name)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(name + ":", 0) == 0) {
            std::string value = line.substr(name.size() + 1);
            for (char &c : value)
                c = c == '\t' ? ' ' : c;
            return value;
        }
    }
    return "?";
}

// The names of the variables in a process's environment, but the
// sanitizers' options a sanitized build passes on.
std::set<std::string> EnvironmentNames(long pid)
{
    std::istringstream env(ReadWholeFile("/proc/" + std::to_string(pid) + "/environ"));
    std::set<std::string> names;
    for (std::string entry; std::getline(env, entry, '\0');) {
        std::string name = entry.substr(0, entry.find('='));
        if (name.find("SAN_OPTIONS") == std::string::npos)
            names.insert(name);
    }
    return names;
}

void ExpectOneLine(const RunResult &r, const std::string &code)
{
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("FAILED " + code + ":"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

} // namespace

TEST_F(ServiceAccountTest, RunsAsItsAccountWithNothingOfItsCallersAndRestarts)
{
    // What the caller has that the service must not.
    setenv("CALLERS_SECRET", "1", 1);
    setenv("NOTIFY_SOCKET", "/run/systemd/notify", 1);
    StartAsNobody();
    unsetenv("CALLERS_SECRET");
    unsetenv("NOTIFY_SOCKET");

    EXPECT_NE(Svcctl({"query", kServiceName}).out.find("        SERVICE_START_NAME : nobody\n"),
              std::string::npos);
    for (int run = 0; run < 2; run++) {
        long pid = QueryPid();
        ASSERT_GT(pid, 0);
        EXPECT_EQ(StatusField(pid, "Uid"), " 65534 65534 65534 65534");
        EXPECT_EQ(StatusField(pid, "Gid"), " 65534 65534 65534 65534");
        EXPECT_EQ(StatusField(pid, "Groups"), " 65534 ");
        EXPECT_EQ(EnvironmentNames(pid),
                  (std::set<std::string>{"HOME", "USER", "LOGNAME", "SHELL", "PATH", "W32_ROOT",
                                         "W32_SERVICE_CHANNEL_FD"}));
        EXPECT_NE(ReadWholeFile("/proc/" + std::to_string(pid) + "/environ").find("USER=nobody"),
                  std::string::npos);
        char cwd[16] = {};
        EXPECT_EQ(readlink(("/proc/" + std::to_string(pid) + "/cwd").c_str(), cwd, sizeof cwd - 1), 1);
        EXPECT_STREQ(cwd, "/");
        ExpectCount(SharedFile("abc.txt", 0644), "2\n");

        RunResult stop = Svcctl({"stop", kServiceName});
        EXPECT_EQ(stop.exitCode, 0) << stop.err;
        if (run == 0) {
            RunResult start = Svcctl({"start", kServiceName});
            ASSERT_EQ(start.exitCode, 0) << start.err;
        }
    }

    // A service registered without an account runs as the one that
    // registered it, root here, which the listing calls LocalSystem.
    ASSERT_EQ(Svcctl({"create", "Own", "/bin/true"}).exitCode, 0);
    EXPECT_NE(Svcctl({"query", "Own"}).out.find("SERVICE_START_NAME : LocalSystem\n"),
              std::string::npos);
}

TEST_F(ServiceAccountTest, AnswersWithItsAccountsRightsAlone)
{
    StartAsNobody();
    std::string readable = SharedFile("readable.txt", 0644);
    std::string secret = SharedFile("secret.txt", 0600);
    // Readable by all, but in a folder only root may enter.
    std::string hidden = MakeFile("hidden.txt", "a b c");
    ASSERT_EQ(chmod(hidden.c_str(), 0644), 0);

    ExpectCount(readable, "2\n");
    ExpectCount(secret, CantOpen(secret));
    ExpectCount(hidden, CantOpen(hidden));

    // Another account's client is answered the same way.
    RunResult r = RunProgram({ProgramForOthers(CLIENT_PATH), readable}, work_, 30, false,
                             [] { return BecomeUser(kStranger); });
    EXPECT_EQ(r.out, "2\n") << r.err;
    EXPECT_EQ(r.exitCode, 0) << r.err;
}

TEST_F(ServiceAccountTest, ItsLogAndSlotAreItsOwnAndNoOtherAccountsToTakeOrReplace)
{
    StartAsNobody();
    const std::string drive = root_ + "/drive_c";
    const std::string log = LogPath(root_);
    const std::string slot = SlotPath();
    struct stat driveSt, logSt, slotSt;
    ASSERT_EQ(lstat(drive.c_str(), &driveSt), 0);
    ASSERT_EQ(lstat(log.c_str(), &logSt), 0);
    ASSERT_EQ(lstat(slot.c_str(), &slotSt), 0);
    EXPECT_EQ(driveSt.st_uid, kNobody);
    EXPECT_EQ(driveSt.st_mode & 07777, 0755u);
    EXPECT_EQ(logSt.st_uid, kNobody);
    EXPECT_EQ(logSt.st_mode & 07777, 0640u); // its account's and its group's alone
    EXPECT_EQ(slotSt.st_uid, kNobody);

    pid_t child = StartChild([&] {
        if (!BecomeUser(kStranger))
            return 125;
        // The log can be neither read, written, removed, replaced nor
        // redirected: nothing may be added to its folder.
        if (open(log.c_str(), O_RDONLY) >= 0 || open(log.c_str(), O_WRONLY) >= 0)
            return 10;
        if (unlink(log.c_str()) == 0 || symlink("/etc/passwd", (drive + "/x").c_str()) == 0 ||
            open((drive + "/x").c_str(), O_WRONLY | O_CREAT, 0644) >= 0)
            return 11;
        // The slot can be written to, but neither taken, removed nor replaced.
        if (!SendDatagram(slot, "from a stranger"))
            return 12;
        if (CreateMailslotA(kServerSlot, 0, 0, NULL) != INVALID_HANDLE_VALUE ||
            GetLastError() != ERROR_ALREADY_EXISTS)
            return 13;
        std::string mine = root_ + "/mailslot/strangers";
        int fd = open(mine.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        bool replaced = rename(mine.c_str(), slot.c_str()) == 0;
        unlink(mine.c_str());
        if (fd < 0 || replaced || unlink(slot.c_str()) == 0)
            return 14;
        return 0;
    });
    EXPECT_EQ(WaitChild(child, 20), 0);

    ASSERT_TRUE(WaitForLog("(Server)Can't open from a stranger!\r\n"));
    struct stat logAfter, slotAfter;
    ASSERT_EQ(lstat(log.c_str(), &logAfter), 0);
    ASSERT_EQ(lstat(slot.c_str(), &slotAfter), 0);
    EXPECT_EQ(logAfter.st_ino, logSt.st_ino);
    EXPECT_EQ(slotAfter.st_ino, slotSt.st_ino);
    ExpectCount(SharedFile("abc.txt", 0644), "2\n");
}

TEST_F(ServiceAccountTest, AnAccountTheCallerMayNotChooseOrThatIsGoneIsRefused)
{
    // Only root registers a service for another account.
    ExpectOneLine(SvcctlAsNobody({"create", kServiceName, SERVICE_PATH, "--user", "root"}), "5");
    ExpectOneLine(Svcctl({"create", kServiceName, SERVICE_PATH, "--user", "no-such-account"}),
                  "1057");
    ExpectOneLine(Svcctl({"query", kServiceName}), "1060");

    // An account removed since the service was registered.
    StartAsNobody();
    ASSERT_EQ(Svcctl({"stop", kServiceName}).exitCode, 0);
    WriteWholeFile(root_ + "/services/" + kServiceName + "/user", "gone-since\n");
    RunResult start = Svcctl({"start", kServiceName});
    ExpectOneLine(start, "1057");
    EXPECT_NE(start.err.find("\"gone-since\""), std::string::npos) << start.err;

    // A drive of a third account's is neither taken over nor used, by a
    // service with an account of its own or by one of root's.
    ASSERT_EQ(Svcctl({"delete", kServiceName}).exitCode, 0);
    const std::string drive = root_ + "/drive_c";
    ASSERT_EQ(chown(drive.c_str(), kStranger, kStranger), 0);
    const std::string whose = "svcctl: " + drive + " belongs to uid 54321, not to ";
    RunResult created =
        Svcctl({"create", kServiceName, ProgramForOthers(SERVICE_PATH), "--user", "nobody"});
    EXPECT_EQ(created.exitCode, 1);
    EXPECT_EQ(created.err, whose + "root or nobody, whom the service runs as: give it to nobody "
                                   "(chown nobody: " + drive + "), or remove it\n");
    ASSERT_EQ(Svcctl({"create", "Own", SERVICE_PATH}).exitCode, 0);
    RunResult own = Svcctl({"start", "Own"});
    EXPECT_EQ(own.exitCode, 1);
    EXPECT_EQ(own.err, whose + "you or root: remove it, or set W32_ROOT to a directory of your "
                               "own\n");
    struct stat st;
    ASSERT_EQ(stat(drive.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kStranger);
}
