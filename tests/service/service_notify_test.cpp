// svcctl run as systemd runs it for a unit of Type=notify: a notification
// socket of the test's own, named by NOTIFY_SOCKET.
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "platform/platform.h"
#include "service_fixture.h"

namespace {

const char kStartPendingStatus[] =
    "STATUS=START_PENDING (checkpoint 1, wait hint 30000 ms)\nEXTEND_TIMEOUT_USEC=30000000";
const char kStopPendingStatus[] =
    "STATUS=STOP_PENDING (checkpoint 2, wait hint 0 ms)\nEXTEND_TIMEOUT_USEC=2000000";
const char kStoppedStatus[] = "STATUS=STOPPED (win32 exit code 0, service exit code 0)";

// A datagram socket bound at a path, as systemd binds its own.
class NotifySocket {
public:
    explicit NotifySocket(const std::string &path) : path_(path)
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        unlink(path.c_str());
        bound_ = fd_ >= 0 &&
                 bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }
    ~NotifySocket()
    {
        close(fd_);
        unlink(path_.c_str());
    }
    bool bound() const { return bound_; }
    const std::string &path() const { return path_; }

    // The next message; empty when none comes within timeoutSeconds.
    std::string Next(double timeoutSeconds = 10)
    {
        pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeoutSeconds * 1000)) != 1)
            return std::string();
        char buf[4096];
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }

private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

} // namespace

TEST_F(ServiceTest, RunTellsSystemdReadyOnceRunningAndStoppingWhenAStopBegins)
{
    Register();
    // Stopped as systemd stops it, by SIGTERM, and by svcctl stop from elsewhere.
    for (bool bySignal : {true, false}) {
        NotifySocket notify(work_ + "/notify");
        ASSERT_TRUE(notify.bound());
        setenv("NOTIFY_SOCKET", notify.path().c_str(), 1);
        Spawned run = Spawn({SVCCTL_PATH, "run", kServiceName}, work_);
        unsetenv("NOTIFY_SOCKET");

        EXPECT_EQ(notify.Next(), kStartPendingStatus);
        std::string ready = notify.Next();
        long pid = QueryPid();
        EXPECT_EQ(ready, "READY=1\nSTATUS=RUNNING (pid " + std::to_string(pid) + ")");
        // The socket is svcctl's own: the service never sees it.
        std::string environ = ReadWholeFile("/proc/" + std::to_string(pid) + "/environ");
        EXPECT_NE(environ.find("W32_ROOT="), std::string::npos);
        EXPECT_EQ(environ.find("NOTIFY_SOCKET="), std::string::npos);
        // An interrogation re-reports RUNNING, which tells systemd nothing new.
        EXPECT_EQ(Svcctl({"interrogate", kServiceName}).exitCode, 0);

        if (bySignal)
            kill(run.pid, SIGTERM);
        else
            EXPECT_EQ(Svcctl({"stop", kServiceName}).exitCode, 0);
        EXPECT_EQ(notify.Next(), "STOPPING=1");
        EXPECT_EQ(notify.Next(), kStopPendingStatus);
        EXPECT_EQ(notify.Next(), kStoppedStatus);
        RunResult ran = Wait(run, 30);
        EXPECT_EQ(ran.exitCode, 0) << ran.err;
        EXPECT_EQ(notify.Next(0.2), "");
    }
}

TEST_F(ServiceTest, RunNeverTellsSystemdReadyForAStartThatFails)
{
    Register();
    HANDLE held = CreateMailslotA("\\\\.\\mailslot\\$Channel1$", 0, 0, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE) << GetLastError();
    NotifySocket notify(work_ + "/notify");
    ASSERT_TRUE(notify.bound());
    setenv("NOTIFY_SOCKET", notify.path().c_str(), 1);
    RunResult run = Svcctl({"run", kServiceName});
    unsetenv("NOTIFY_SOCKET");
    CloseHandle(held);

    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(notify.Next(), kStartPendingStatus);
    // The service stops by itself: its STOP_PENDING is where the stop begins.
    EXPECT_EQ(notify.Next(), std::string("STOPPING=1\n") + kStopPendingStatus);
    EXPECT_EQ(notify.Next(), kStoppedStatus);
    EXPECT_EQ(notify.Next(0.2), "");
}

TEST_F(ServiceTest, NothingIsNotifiedWithoutNotifySocketNorByADetachedStart)
{
    Register();
    NotifySocket notify(work_ + "/notify");
    ASSERT_TRUE(notify.bound());

    Spawned run = Spawn({SVCCTL_PATH, "run", kServiceName}, work_);
    ASSERT_TRUE(WaitForLog("Mailslot server demo\n\r\n"));
    kill(run.pid, SIGTERM);
    EXPECT_EQ(Wait(run, 30).exitCode, 0);

    // Only svcctl run is the process systemd watches.
    setenv("NOTIFY_SOCKET", notify.path().c_str(), 1);
    RunResult start = Svcctl({"start", kServiceName});
    unsetenv("NOTIFY_SOCKET");
    EXPECT_EQ(start.exitCode, 0) << start.err;
    EXPECT_EQ(Svcctl({"stop", kServiceName}).exitCode, 0);
    EXPECT_EQ(notify.Next(0.5), "");
}
