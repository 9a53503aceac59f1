#include "service_fixture.h"

#include <signal.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

#include "support/wait.h"

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

bool EndsWith(const std::string &text, const std::string &tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
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

void ServiceTest::TearDown()
{
    // A failed test must not leave its service running.
    if (QueryPid() != 0)
        Svcctl({"stop", kServiceName});
    if (long pid = QueryPid(); pid > 0)
        kill(static_cast<pid_t>(pid), SIGKILL);
}

RunResult ServiceTest::Svcctl(const std::vector<std::string> &args, double timeoutSeconds,
                              bool asNobody)
{
    std::vector<std::string> argv = {SVCCTL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, work_, timeoutSeconds, asNobody);
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

long ServiceTest::QueryPid()
{
    RunResult r = Svcctl({"query", kServiceName}, 10);
    size_t at = r.out.find("PID                : ");
    return at == std::string::npos ? 0 : std::atol(r.out.c_str() + at + 21);
}

bool ServiceTest::WaitUntilStopped(double timeoutSeconds)
{
    return WaitUntil([&] { return QueryPid() == 0; }, timeoutSeconds);
}

std::string ServiceTest::MakeFile(const std::string &name, const std::string &contents) const
{
    std::string path = work_ + "/" + name;
    WriteWholeFile(path, contents);
    return path;
}
