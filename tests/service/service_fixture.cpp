#include "service_fixture.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

const char kServiceName[] = "Sample service";
const char kStartPending[] = "16 2 0 0 0 1 30000";
const char kRunning[] = "16 4 1 0 0 0 0";
const char kStopPending[] = "16 3 1 0 0 2 0";
const char kStopped[] = "16 1 1 0 0 0 0";

bool ProcessIsGone(long pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat))
        return true;
    size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

size_t CountOf(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

std::string WithoutMarkers(const std::string &log)
{
    const std::string marker = "\\\\?\\mailslot-client\\";
    std::string kept;
    bool afterMarkerReply = false;
    size_t start = 0;
    for (size_t end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2) {
        std::string line = log.substr(start, end + 2 - start);
        bool received = line.rfind("Received: <" + marker, 0) == 0;
        bool reply = line.rfind("(Server)Can't open " + marker, 0) == 0;
        bool sent = afterMarkerReply && line.rfind("Bytes sent ", 0) == 0;
        afterMarkerReply = reply;
        if (!received && !reply && !sent)
            kept += line;
    }
    return kept + log.substr(start);
}

void ServiceTest::SetUp()
{
    char pattern[] = "/tmp/svc-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    work_ = root_ + "/work";
    ASSERT_EQ(mkdir(work_.c_str(), 0700), 0);
    setenv("W32_ROOT", root_.c_str(), 1);
}

void ServiceTest::TearDown()
{
    // A failed test must not leave its service running.
    if (QueryPid() != 0)
        Svcctl({"stop", kServiceName});
    if (long pid = QueryPid(); pid > 0)
        kill(static_cast<pid_t>(pid), SIGKILL);
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
    unsetenv("W32_ROOT");
}

RunResult ServiceTest::Svcctl(const std::vector<std::string> &args, double timeoutSeconds)
{
    std::vector<std::string> argv = {SVCCTL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, work_, timeoutSeconds);
}

Spawned ServiceTest::SpawnClient(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {CLIENT_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return Spawn(argv, work_);
}

RunResult ServiceTest::Client(const std::vector<std::string> &args, double timeoutSeconds)
{
    return Wait(SpawnClient(args), timeoutSeconds);
}

void ServiceTest::Register()
{
    RunResult r = Svcctl({"create", kServiceName, SERVICE_PATH});
    ASSERT_EQ(r.exitCode, 0) << r.err;
}

std::vector<std::string> ServiceTest::History()
{
    RunResult r = Svcctl({"history", kServiceName});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> lines;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string ServiceTest::Log() const
{
    std::ifstream in(root_ + "/drive_c/ZQ_logfile.log", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool ServiceTest::WaitForLog(const std::string &needle, double timeoutSeconds) const
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (Log().find(needle) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

long ServiceTest::QueryPid()
{
    RunResult r = Svcctl({"query", kServiceName}, 10);
    size_t at = r.out.find("PID                : ");
    return at == std::string::npos ? 0 : std::atol(r.out.c_str() + at + 21);
}

std::string ServiceTest::MakeFile(const std::string &name, const std::string &contents) const
{
    std::string path = work_ + "/" + name;
    std::ofstream(path, std::ios::binary) << contents;
    return path;
}
