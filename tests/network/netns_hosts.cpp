#include "netns_hosts.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

bool OnPath(const std::string &tool)
{
    return system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a shell command line; false (with a test failure) when it fails.
bool Sh(const std::string &command)
{
    int status = system((command + " 2>&1").c_str());
    EXPECT_EQ(status, 0) << command;
    return status == 0;
}

// Enters the network namespace `ns` (this thread only, or a child process).
bool EnterNamespace(const std::string &ns)
{
    int fd = open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    return ok;
}

} // namespace

std::string MissingForNetworkTests()
{
    if (geteuid() != 0)
        return "the network tests need root (network namespaces, ports 137 and 138)";
    for (const char *tool : {"ip", "tshark", "nmblookup"})
        if (!OnPath(tool))
            return std::string("the network tests need ") + tool +
                   " (Debian: iproute2, tshark, samba-common-bin)";
    return "";
}

TestNetwork::TestNetwork(int hosts)
{
    prefix_ = "msr" + std::to_string(getpid());
    bridge_ns_ = prefix_ + "br";
    char scratch[] = "/tmp/relay-net-XXXXXX";
    scratch_ = mkdtemp(scratch) ? scratch : "";
    EXPECT_FALSE(scratch_.empty());
    chmod(scratch_.c_str(), 0755); // other accounts reach the hosts' roots, as in /tmp
    Sh("ip netns add " + bridge_ns_);
    Sh("ip -n " + bridge_ns_ + " link add br0 type bridge && ip -n " + bridge_ns_ +
       " link set br0 up");
    for (int i = 0; i < hosts; ++i) {
        Host h;
        char letter = char('a' + i);
        h.hostname = std::string("host") + letter;
        h.ns = prefix_ + letter;
        h.ip = "10.213.47." + std::to_string(i + 1);
        h.root = scratch_ + "/" + h.hostname;
        std::filesystem::create_directory(h.root);
        std::string port = std::string("p") + letter;
        Sh("ip netns add " + h.ns);
        Sh("ip link add veth0 netns " + h.ns + " type veth peer name " + port + " netns " +
           bridge_ns_);
        Sh("ip -n " + bridge_ns_ + " link set " + port + " master br0 up");
        Sh("ip -n " + h.ns + " addr add " + h.ip + "/24 broadcast " + kBroadcast + " dev veth0");
        Sh("ip -n " + h.ns + " link set veth0 up && ip -n " + h.ns + " link set lo up");
        hosts_.push_back(h);
    }
}

TestNetwork::~TestNetwork()
{
    for (pid_t pid : started_) {
        if (waitpid(pid, nullptr, WNOHANG) == 0) { // still running: not waited for yet
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    for (const Host &h : hosts_)
        system(("ip netns del " + h.ns + " 2>/dev/null").c_str());
    system(("ip netns del " + bridge_ns_ + " 2>/dev/null").c_str());
    if (!scratch_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(scratch_, ignored);
    }
}

Process TestNetwork::Start(const std::string &ns, const std::string &hostname,
                           const std::string &root, const std::vector<std::string> &argv,
                           bool as_nobody)
{
    static int serial = 0;
    Process p;
    std::string base = scratch_ + "/" + std::to_string(++serial) + "-" +
                       std::filesystem::path(argv[0]).filename().string();
    p.out = base + ".out";
    p.err = base + ".err";
    std::string netns_path = "/var/run/netns/" + ns;
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    std::string env_root = "W32_ROOT=" + root;
    struct passwd *nobody = as_nobody ? getpwnam("nobody") : nullptr;
    uid_t uid = nobody ? nobody->pw_uid : 0;
    gid_t gid = nobody ? nobody->pw_gid : 0;

    p.pid = fork();
    if (p.pid == 0) {
        int out = open(p.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(p.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int ns_fd = open(netns_path.c_str(), O_RDONLY);
        if (out < 0 || err < 0 || ns_fd < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
            setns(ns_fd, CLONE_NEWNET) != 0 || unshare(CLONE_NEWUTS) != 0 ||
            sethostname(hostname.c_str(), hostname.size()) != 0)
            _exit(126);
        if (nobody && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0))
            _exit(126);
        putenv(const_cast<char *>(env_root.c_str()));
        execvp(args[0], args.data());
        _exit(127);
    }
    started_.push_back(p.pid);
    return p;
}

Finished TestNetwork::Run(const Host &h, const std::vector<std::string> &argv, double seconds)
{
    return Wait(Start(h, argv), seconds);
}

Process TestNetwork::StartRelay(const Host &h, const std::vector<std::string> &extra)
{
    std::vector<std::string> argv = {RELAY_PATH};
    argv.insert(argv.end(), extra.begin(), extra.end());
    Process relay = Start(h, argv);
    EXPECT_TRUE(WaitForText(relay.err, "registered", 10)) << ReadFile(relay.err);
    return relay;
}

void TestNetwork::SendUdp(const Host &h, const std::string &ip, uint16_t port,
                          const std::vector<uint8_t> &bytes)
{
    // The namespace is entered by a thread of its own, which then ends.
    std::thread sender([&] {
        ASSERT_TRUE(EnterNamespace(h.ns));
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        struct sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        inet_pton(AF_INET, ip.c_str(), &to.sin_addr);
        EXPECT_EQ(sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&to),
                         sizeof to),
                  ssize_t(bytes.size()));
        close(fd);
    });
    sender.join();
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WaitForText(const std::string &path, const std::string &text, double seconds)
{
    Clock::time_point end = Clock::now() + std::chrono::milliseconds(int(seconds * 1000));
    for (;;) {
        if (ReadFile(path).find(text) != std::string::npos)
            return true;
        if (Clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

Finished Wait(const Process &p, double seconds)
{
    Finished f;
    Clock::time_point end = Clock::now() + std::chrono::milliseconds(int(seconds * 1000));
    int status = 0;
    pid_t done;
    while ((done = waitpid(p.pid, &status, WNOHANG)) == 0 && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (done == 0) {
        kill(p.pid, SIGKILL);
        waitpid(p.pid, &status, 0);
    } else if (done == p.pid && WIFEXITED(status)) {
        f.exit_code = WEXITSTATUS(status);
    }
    f.out = ReadFile(p.out);
    f.err = ReadFile(p.err);
    return f;
}

void Signal(const Process &p, int signal)
{
    kill(p.pid, signal);
}
