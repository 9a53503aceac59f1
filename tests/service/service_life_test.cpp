// The service's ordinary life under svcctl: start, requests, controls, stop.
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>

#include "service_fixture.h"
#include "support/wait.h"

namespace {

const std::string kRunningLine = "STATE              : 4  RUNNING";
const std::string kStoppedLine = "STATE              : 1  STOPPED";

} // namespace

TEST_F(ServiceTest, OrdinaryLifeAnswersRequestsAndLogsEveryStep)
{
    Register();
    RunResult start = Svcctl({"start", kServiceName});
    ASSERT_EQ(start.exitCode, 0) << start.err;
    EXPECT_NE(start.out.find(kRunningLine), std::string::npos) << start.out;
    long pid = QueryPid();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(Svcctl({"query", kServiceName}).out,
              "SERVICE_NAME: Sample service\n"
              "        TYPE               : 10  WIN32_OWN_PROCESS\n"
              "        STATE              : 4  RUNNING\n"
              "                                (STOPPABLE, NOT_PAUSABLE, IGNORES_SHUTDOWN)\n"
              "        WIN32_EXIT_CODE    : 0  (0x0)\n"
              "        SERVICE_EXIT_CODE  : 0  (0x0)\n"
              "        CHECKPOINT         : 0x0\n"
              "        WAIT_HINT          : 0x0\n"
              "        PID                : " + std::to_string(pid) + "\n"
              "        SERVICE_START_NAME : " +
                  (geteuid() == 0 ? std::string("LocalSystem") : getpwuid(geteuid())->pw_name) +
                  "\n");

    std::string file = MakeFile("abc.txt", "a b c");
    RunResult count = Client({file});
    EXPECT_EQ(count.exitCode, 0) << count.err;
    EXPECT_EQ(count.out, "2\n");

    std::string missing = work_ + "/missing.txt";
    std::string cannotOpen = "(Server)Can't open " + missing + "!";
    RunResult refused = Client({missing});
    EXPECT_EQ(refused.exitCode, 1) << refused.err;
    EXPECT_EQ(refused.out, cannotOpen + "\n");

    EXPECT_EQ(Client({"--exit"}).exitCode, 0);
    ASSERT_TRUE(WaitForLog("Client exited!\n\r\n"));

    RunResult stop = Svcctl({"stop", kServiceName});
    EXPECT_EQ(stop.exitCode, 0) << stop.err;
    EXPECT_NE(stop.out.find(kStoppedLine), std::string::npos) << stop.out;

    // Each client brackets its path with two markers: three lines each.
    EXPECT_EQ(CountOf(Log(), "Received: <\\\\?\\mailslot-client\\"), 4u);
    EXPECT_EQ(WithoutMarkers(Log()), "MailSlot service entry point\r\n"
                                     "MailSlot Service starting...\r\n"
                                     "Mailslot created\n\r\n"
                                     "MailSlot Service started!\r\n"
                                     "Mailslot server demo\n\r\n"
                                     "Received: <" + file + ">\n\r\n"
                                     "(Server): file:" + file + ", spaces = 2\n\r\n"
                                     "Bytes sent 2\n\r\n"
                                     "Received: <" + missing + ">\n\r\n" +
                                     cannotOpen + "\r\n"
                                     "Bytes sent " + std::to_string(cannotOpen.size() + 1) + "\n\r\n"
                                     "Received: <exit>\n\r\n"
                                     "Client exited!\n\r\n"
                                     "MailSlot Service stopping...\r\n"
                                     "Mailslot closed!\r\n"
                                     "MailSlot Service stopped!\r\n");
    EXPECT_EQ(History(),
              (std::vector<std::string>{kStartPending, kRunning, kStopPending, kStopped}));

    RunResult query = Svcctl({"query", kServiceName});
    EXPECT_NE(query.out.find(kStoppedLine), std::string::npos) << query.out;
    EXPECT_EQ(QueryPid(), 0);
    EXPECT_TRUE(ProcessIsGone(pid));
}

TEST_F(ServiceTest, InterrogateAndOtherCodesReReportTheStateAndLogNothing)
{
    Register();
    ASSERT_EQ(Svcctl({"start", kServiceName}).exitCode, 0);
    ASSERT_TRUE(WaitForLog("Mailslot server demo\n\r\n"));
    std::string before = Log();

    RunResult interrogate = Svcctl({"interrogate", kServiceName});
    EXPECT_EQ(interrogate.exitCode, 0) << interrogate.err;
    EXPECT_NE(interrogate.out.find(kRunningLine), std::string::npos) << interrogate.out;

    RunResult own = Svcctl({"control", kServiceName, "200"});
    EXPECT_EQ(own.exitCode, 0) << own.err;
    EXPECT_NE(own.out.find(kRunningLine), std::string::npos) << own.out;

    // Pause is not among the controls the service accepts.
    RunResult pause = Svcctl({"control", kServiceName, "2"});
    EXPECT_EQ(pause.exitCode, 1);
    EXPECT_NE(pause.err.find("FAILED 1052"), std::string::npos) << pause.err;

    EXPECT_EQ(Log(), before);
    EXPECT_EQ(History(), (std::vector<std::string>{kStartPending, kRunning, kRunning, kRunning}));
}

TEST_F(ServiceTest, StartedFromAConsoleLogsTheDispatcherErrorAndExitsZero)
{
    RunResult console = RunProgram({SERVICE_PATH}, work_, 10);
    EXPECT_EQ(console.exitCode, 0);
    const std::string expected = "MailSlot service entry point\r\n"
                                 "StartServiceCtrlDispatcher: Error 1063\n\r\n";
    EXPECT_EQ(Log(), expected);

    // A channel number that is no socket is no manager either.
    setenv("W32_SERVICE_CHANNEL_FD", "1", 1);
    RunResult stray = RunProgram({SERVICE_PATH}, work_, 10);
    unsetenv("W32_SERVICE_CHANNEL_FD");
    EXPECT_EQ(stray.exitCode, 0);
    EXPECT_EQ(Log(), expected + expected);
}

TEST_F(ServiceTest, RunStaysInTheForegroundAndStopsTheServiceOnSigterm)
{
    Register();
    Spawned run = Spawn({SVCCTL_PATH, "run", kServiceName}, work_);
    ASSERT_TRUE(WaitForLog("Mailslot server demo\n\r\n"));
    EXPECT_GT(QueryPid(), 0);

    kill(run.pid, SIGTERM);
    RunResult ran = Wait(run, 30);
    EXPECT_EQ(ran.exitCode, 0) << ran.err;
    EXPECT_EQ(History(),
              (std::vector<std::string>{kStartPending, kRunning, kStopPending, kStopped}));
    std::string log = Log();
    const std::string tail = "MailSlot Service stopping...\r\n"
                             "Mailslot closed!\r\n"
                             "MailSlot Service stopped!\r\n";
    ASSERT_GE(log.size(), tail.size());
    EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
}

TEST_F(ServiceTest, StartReturnsAtOnceToACallerReadingItsOutputThroughAPipe)
{
    Register();
    // The pipeline ends only once every holder of the pipe has closed it:
    // neither the supervising process nor the service may keep it.
    std::string script = std::string("'") + SVCCTL_PATH + "' start '" + kServiceName +
                         "' 3>&1 | cat";
    RunResult started = RunProgram({"/bin/sh", "-c", script}, work_, 20);
    EXPECT_EQ(started.exitCode, 0) << started.err;
    EXPECT_LT(started.seconds, 10.0);
    EXPECT_NE(started.out.find(kRunningLine), std::string::npos) << started.out;
}

TEST_F(ServiceTest, ANameOf256CharactersWorksWithEveryCommand)
{
    // Longer than one directory entry may be; any printable character but
    // the two separators.
    std::string name = "Sample service";
    for (char c = ' '; name.size() < 256; c = c == '~' ? ' ' : char(c + 1))
        if (c != '/' && c != '\\')
            name += c;
    std::string upper = name;
    for (char &c : upper)
        c = char(toupper(static_cast<unsigned char>(c)));

    RunResult created = Svcctl({"create", name, SERVICE_PATH});
    ASSERT_EQ(created.exitCode, 0) << created.err;
    EXPECT_EQ(Svcctl({"create", upper, SERVICE_PATH}).exitCode, 1); // names ignore case
    RunResult start = Svcctl({"start", name});
    ASSERT_EQ(start.exitCode, 0) << start.err;
    EXPECT_EQ(start.out.find("SERVICE_NAME: " + name + "\n"), 0u) << start.out;
    for (std::vector<std::string> command : {std::vector<std::string>{"query", upper},
                                             {"interrogate", name},
                                             {"control", name, "200"}}) {
        RunResult r = Svcctl(command);
        EXPECT_EQ(r.exitCode, 0) << command[0] << ": " << r.err;
        EXPECT_NE(r.out.find(kRunningLine), std::string::npos) << command[0] << ": " << r.out;
    }
    EXPECT_EQ(Svcctl({"stop", name}).exitCode, 0);

    Spawned run = Spawn({SVCCTL_PATH, "run", name}, work_);
    EXPECT_TRUE(WaitUntil(
        [&] { return Svcctl({"query", name}).out.find(kRunningLine) != std::string::npos; }, 10,
        50));
    kill(run.pid, SIGTERM);
    EXPECT_EQ(Wait(run, 30).exitCode, 0);
    RunResult history = Svcctl({"history", name});
    EXPECT_EQ(history.out, std::string(kStartPending) + "\n" + kRunning + "\n" + kStopPending +
                               "\n" + kStopped + "\n");
    RunResult deleted = Svcctl({"delete", upper});
    EXPECT_EQ(deleted.exitCode, 0) << deleted.err;
    EXPECT_EQ(Svcctl({"query", name}).exitCode, 1);
    EXPECT_TRUE(std::filesystem::is_empty(root_ + "/services"));
}
