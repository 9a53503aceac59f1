#include "netns_hosts.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

namespace {

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

// Whether a namespace can be made and configured here (a container may
// forbid either); "" when it can, else what `ip` said.
std::string NamespacesRefused()
{
    const std::string ns = "msrprobe" + std::to_string(getpid());
    FILE *p = popen(("ip netns add " + ns + " 2>&1 && ip -n " + ns + " link set lo up 2>&1; " +
                     "status=$?; ip netns del " + ns + " 2>/dev/null; exit $status")
                        .c_str(),
                    "r");
    if (!p)
        return "cannot run ip";
    std::string out;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, p))
        out += buffer;
    if (pclose(p) == 0)
        return "";
    return out.empty() ? "ip failed" : out.substr(0, out.find('\n'));
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

// Puts /etc/netns/`ns`/hosts, when there is one, over /etc/hosts in a
// mount namespace of this process's own, as `ip netns exec` does.
bool UseHostsFileOf(const std::string &ns)
{
    std::string hosts = "/etc/netns/" + ns + "/hosts";
    if (access(hosts.c_str(), F_OK) != 0)
        return true;
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) == 0 &&
           mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
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
    std::string refused = NamespacesRefused();
    if (!refused.empty())
        return "the network tests need network namespaces, which this system refuses: " + refused;
    return "";
}

TestNetwork::TestNetwork(int hosts, int routed)
{
    prefix_ = "msr" + std::to_string(getpid());
    bridge_ns_ = prefix_ + "br";
    Sh("ip netns add " + bridge_ns_);
    for (const char *bridge : {"br0", "br1"})
        Sh("ip -n " + bridge_ns_ + " link add " + bridge + " type bridge && ip -n " + bridge_ns_ +
           " link set " + bridge + " up");
    if (routed > 0) {
        router_ns_ = prefix_ + "rt";
        Sh("ip netns add " + router_ns_);
        Sh("ip netns exec " + router_ns_ + " sysctl -qw net.ipv4.ip_forward=1");
        for (int side = 0; side < 2; ++side) {
            std::string dev = "r" + std::to_string(side), net = side ? "48" : "47";
            Sh("ip link add " + dev + " netns " + router_ns_ + " type veth peer name p" + dev +
               " netns " + bridge_ns_);
            Sh("ip -n " + bridge_ns_ + " link set p" + dev + " master br" + std::to_string(side) +
               " up");
            Sh("ip -n " + router_ns_ + " addr add 10.213." + net + ".254/24 broadcast 10.213." +
               net + ".255 dev " + dev + " && ip -n " + router_ns_ + " link set " + dev + " up");
        }
    }
    for (int i = 0; i < hosts + routed; ++i) {
        Host h;
        char letter = char('a' + i);
        bool behind = i >= hosts;
        std::string net = behind ? "10.213.48." : "10.213.47.";
        h.hostname = std::string("host") + letter;
        h.ns = prefix_ + letter;
        h.ip = net + std::to_string(i + 1);
        h.root = scratch_.path() + "/" + h.hostname;
        std::filesystem::create_directory(h.root);
        std::string port = std::string("p") + letter;
        Sh("ip netns add " + h.ns);
        Sh("ip link add veth0 netns " + h.ns + " type veth peer name " + port + " netns " +
           bridge_ns_);
        Sh("ip -n " + bridge_ns_ + " link set " + port + " master br" + (behind ? "1" : "0") +
           " up");
        Sh("ip -n " + h.ns + " addr add " + h.ip + "/24 broadcast " + net + "255 dev veth0");
        Sh("ip -n " + h.ns + " link set veth0 up && ip -n " + h.ns + " link set lo up");
        if (routed > 0)
            Sh("ip -n " + h.ns + " route add default via " + net + "254");
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
    if (!router_ns_.empty())
        system(("ip netns del " + router_ns_ + " 2>/dev/null").c_str());
}

Spawned TestNetwork::Start(const std::string &ns, const std::string &hostname,
                           const std::string &root, const std::vector<std::string> &argv,
                           bool as_nobody)
{
    // In the host's namespace, under its name, with its root.
    Spawned p = Spawn(argv, scratch_.path(), as_nobody, [&] {
        return EnterNamespace(ns) && UseHostsFileOf(ns) && unshare(CLONE_NEWUTS) == 0 &&
               sethostname(hostname.c_str(), hostname.size()) == 0 &&
               setenv("W32_ROOT", root.c_str(), 1) == 0;
    });
    if (p.pid > 0)
        started_.push_back(p.pid);
    return p;
}

RunResult TestNetwork::Run(const Host &h, const std::vector<std::string> &argv, double seconds)
{
    return Wait(Start(h, argv), seconds);
}

Spawned TestNetwork::StartRelay(const Host &h, const std::vector<std::string> &extra)
{
    std::vector<std::string> argv = {RELAY_PATH};
    argv.insert(argv.end(), extra.begin(), extra.end());
    Spawned relay = Start(h, argv);
    EXPECT_TRUE(WaitForText(relay.errPath, "registered", 10)) << ReadWholeFile(relay.errPath);
    return relay;
}

void TestNetwork::SendUdp(const Host &h, const std::string &ip, uint16_t port,
                          const std::vector<uint8_t> &bytes)
{
    SendUdp(h, ip, port, std::vector<std::vector<uint8_t>>{bytes});
}

void TestNetwork::SendUdp(const Host &h, const std::string &ip, uint16_t port,
                          const std::vector<std::vector<uint8_t>> &packets)
{
    InHost(h, [&] {
        int fd = BoundUdpSocket(0);
        ASSERT_GE(fd, 0);
        for (const std::vector<uint8_t> &bytes : packets)
            EXPECT_TRUE(SendTo(fd, ip, port, bytes));
        close(fd);
    }).join();
}

std::thread TestNetwork::InHost(const Host &h, std::function<void()> body)
{
    // The namespace is entered by a thread of its own, which then ends.
    std::string ns = h.ns;
    return std::thread([ns, body] {
        ASSERT_TRUE(EnterNamespace(ns));
        body();
    });
}

int BoundUdpSocket(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    struct sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

bool SendTo(int fd, const std::string &ip, uint16_t port, const std::vector<uint8_t> &bytes)
{
    struct sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, ip.c_str(), &to.sin_addr);
    return sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&to),
                  sizeof to) == ssize_t(bytes.size());
}

void Signal(const Spawned &p, int signal)
{
    if (p.pid > 0) // -1 would signal every process this one may
        kill(p.pid, signal);
}
