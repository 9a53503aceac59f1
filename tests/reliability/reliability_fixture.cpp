#include "reliability_fixture.h"

#include <unistd.h>

#include <fstream>
#include <regex>

#include "support/wait.h"

const char kServerSlot[] = "\\\\.\\mailslot\\$Channel1$";

namespace {

bool IsServiceLine(const std::string &line, const std::vector<std::string> &paths)
{
    static const std::regex fixed(
        "MailSlot service entry point|MailSlot Service starting\\.\\.\\.|Mailslot created\n|"
        "MailSlot Service started!|Mailslot server demo\n|Client exited!\n|"
        "MailSlot Service stopping\\.\\.\\.|Mailslot closed!|MailSlot Service stopped!|"
        "Received: <exit>\n|Bytes sent [0-9]+\n|"
        "(ReadFile|CreateFile for send|GetMailslotInfo|CreateMailslot): Error [0-9]+\n");
    if (std::regex_match(line, fixed))
        return true;
    for (const std::string &p : paths) {
        if (line == "Received: <" + p + ">\n" || line == "(Server)Can't open " + p + "!")
            return true;
        std::string counted = "(Server): file:" + p + ", spaces = ";
        if (line.compare(0, counted.size(), counted) == 0 &&
            std::regex_match(line.substr(counted.size()), std::regex("[0-9]+\n")))
            return true;
    }
    return false;
}

} // namespace

bool IsRoot()
{
    return geteuid() == 0;
}

long MemoryKiB(long pid, const char *field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string prefix = std::string(field) + ":";
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, prefix.size(), prefix) == 0)
            return std::atol(line.c_str() + prefix.size());
    return -1;
}

std::string FirstForeignLine(const std::string &whole, const std::vector<std::string> &paths)
{
    std::string log = WithoutMarkers(whole);
    size_t start = 0;
    for (size_t end = log.find("\r\n"); end != std::string::npos; end = log.find("\r\n", start)) {
        std::string line = log.substr(start, end - start);
        if (!IsServiceLine(line, paths))
            return line;
        start = end + 2;
    }
    return start == log.size() ? std::string() : "(unended) " + log.substr(start);
}

void ReliabilityTest::StartService()
{
    Register();
    RunResult start = Svcctl({"start", kServiceName});
    ASSERT_EQ(start.exitCode, 0) << start.err;
    ASSERT_TRUE(WaitForLog("Mailslot server demo\n\r\n"));
}

void ReliabilityTest::ExpectCount(const std::string &path, const std::string &reply,
                                  double timeoutSeconds)
{
    RunResult r = Client({"--timeout", std::to_string(int(timeoutSeconds)), path},
                         timeoutSeconds + 10);
    EXPECT_EQ(r.out, reply) << path << ": " << r.err;
    EXPECT_EQ(r.exitCode, EndsWith(reply, "!\n") ? 1 : 0) << path << ": " << r.err;
}

std::string ReliabilityTest::MakeSparseFile(const std::string &name, long long size) const
{
    std::string path = MakeFile(name, "a b c");
    EXPECT_EQ(truncate(path.c_str(), size - 3), 0);
    std::ofstream(path, std::ios::binary | std::ios::app) << " z ";
    return path;
}

bool ReliabilityTest::WaitForCount(const std::string &needle, size_t n, double timeoutSeconds) const
{
    return WaitUntil([&] { return CountOf(Log(), needle) >= n; }, timeoutSeconds, 50);
}
