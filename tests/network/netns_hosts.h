// Hosts on a network of their own, on one machine: a network namespace per
// host, each with a veth into a bridge that lives in a namespace of its own,
// addresses from a /24 that exists only inside those namespaces. Each host
// has its own W32_ROOT; programs run in a host's namespace, under its host
// name. Everything is removed when the network goes away.
#ifndef TESTS_NETWORK_NETNS_HOSTS_H
#define TESTS_NETWORK_NETNS_HOSTS_H

#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/child.h"
#include "support/files.h"
#include "support/machine_root.h"

// Why these tests cannot run here (not root, a tool missing, network
// namespaces refused), or "".
std::string MissingForNetworkTests();

struct Host {
    std::string hostname; // lower case, as the host names itself
    std::string ns;
    std::string ip;
    std::string root; // its W32_ROOT
};

class TestNetwork {
public:
    static constexpr const char *kBroadcast = "10.213.47.255";

    static constexpr const char *kRouter = "10.213.47.254";
    static constexpr const char *kRoutedBroadcast = "10.213.48.255";

    // `hosts` on one bridge (10.213.47.0/24), and `routed` more on a second
    // (10.213.48.0/24) behind a router namespace (.254 on both).
    explicit TestNetwork(int hosts, int routed = 0);
    ~TestNetwork();
    TestNetwork(const TestNetwork &) = delete;
    TestNetwork &operator=(const TestNetwork &) = delete;

    Host &host(int i) { return hosts_[size_t(i)]; }
    const std::string &bridge_ns() const { return bridge_ns_; }

    // Starts `argv` in `ns` under `hostname`, with W32_ROOT=`root` and, as
    // `ip netns exec` does, /etc/netns/`ns`/hosts for /etc/hosts
    // (and, when `as_nobody`, as the nobody account).
    Spawned Start(const std::string &ns, const std::string &hostname, const std::string &root,
                  const std::vector<std::string> &argv, bool as_nobody = false);
    Spawned Start(const Host &h, const std::vector<std::string> &argv)
    {
        return Start(h.ns, h.hostname, h.root, argv);
    }
    // Runs `argv` on `h` to its end (killed after `seconds`).
    RunResult Run(const Host &h, const std::vector<std::string> &argv, double seconds = 20);

    // Starts the relay on `h` (its default name, its host name) and waits
    // until it has registered its names.
    Spawned StartRelay(const Host &h, const std::vector<std::string> &extra = {});

    // Sends `bytes` from `h` with a plain UDP socket to `ip`:`port`.
    void SendUdp(const Host &h, const std::string &ip, uint16_t port,
                 const std::vector<uint8_t> &bytes);
    // Sends each of `packets` in turn, as fast as one socket can.
    void SendUdp(const Host &h, const std::string &ip, uint16_t port,
                 const std::vector<std::vector<uint8_t>> &packets);

    // Runs `body` on a thread of its own inside `h`'s namespace, as another
    // program on that host would (a hostile one); join it when done.
    std::thread InHost(const Host &h, std::function<void()> body);

private:
    std::string prefix_;
    std::string bridge_ns_;
    std::string router_ns_;
    TempDir scratch_{0755}; // other accounts reach the hosts' roots, as in /tmp
    std::vector<Host> hosts_;
    std::vector<pid_t> started_;
};

void Signal(const Spawned &p, int signal);

// A UDP socket of this thread's namespace, able to broadcast, bound to
// `port` (0: any); -1 when it cannot be had.
int BoundUdpSocket(uint16_t port);

// Sends `bytes` on `fd` to `ip`:`port`.
bool SendTo(int fd, const std::string &ip, uint16_t port, const std::vector<uint8_t> &bytes);

#endif
