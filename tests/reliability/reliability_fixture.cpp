#include "reliability_fixture.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

const char kServerSlot[] = "\\\\.\\mailslot\\$Channel1$";

namespace {

using Clock = std::chrono::steady_clock;

constexpr uid_t kNobody = 65534;

bool EndsWith(const std::string &text, const std::string &tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

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

pid_t StartChild(const std::function<int()> &fn, bool asNobody)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (asNobody &&
        (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
        _exit(125);
    _exit(fn());
}

int WaitChild(pid_t pid, double timeoutSeconds)
{
    auto deadline = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (done < 0)
            return -1;
        if (Clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool IsRoot()
{
    return geteuid() == 0;
}

int ConnectDatagram(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (fd < 0 || path.size() >= sizeof address.sun_path) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendDatagram(const std::string &path, const std::string &bytes)
{
    int fd = ConnectDatagram(path);
    if (fd < 0)
        return false;
    bool sent = send(fd, bytes.data(), bytes.size(), 0) == ssize_t(bytes.size());
    close(fd);
    return sent;
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

bool WaitUntilOpen(long pid, const std::string &path, double timeoutSeconds)
{
    auto deadline = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
    std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    do {
        std::error_code ec;
        for (auto it = std::filesystem::directory_iterator(fds, ec);
             !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
            std::error_code ignored;
            if (std::filesystem::read_symlink(it->path(), ignored) == path)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (Clock::now() < deadline);
    return false;
}

std::string CountLines(const std::string &path, const std::string &count)
{
    return "Received: <" + path + ">\n\r\n(Server): file:" + path + ", spaces = " + count +
           "\n\r\nBytes sent " + std::to_string(count.size() + 1) + "\n\r\n";
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
    auto deadline = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (CountOf(Log(), needle) < n) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}
