// The relay across routed subnets: two bridges joined by a router, Samba's
// nmbd as the WINS server on the first, relays with --wins on both. Names
// cross the router through the server; broadcasts (the service's replies
// to \\*\) stay on their subnet; with the server down, names still resolve
// by broadcast, and a name in the system's hosts file across the router.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>

#include "netns_hosts.h"
#include "nmbd_node.h"
#include "relay_network.h"
#include "support/service_log.h"
#include "support/wait.h"

namespace {

class AcrossRouter : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string missing = MissingForNetworkTests();
        if (missing.empty())
            missing = MissingForNmbd();
        SkipOrFailFor(missing, "run the network tests");
        if (IsSkipped() || HasFatalFailure())
            return;
        net_ = std::make_unique<TestNetwork>(2, 2);
        a_ = &net_->host(0); // 10.213.47.1
        wins_ = &net_->host(1); // 10.213.47.2: nmbd, the WINS server
        c_ = &net_->host(2); // 10.213.48.3, behind the router
        d_ = &net_->host(3); // 10.213.48.4
        // C's hosts file knows A, as DNS would.
        made_netns_ = !std::filesystem::exists("/etc/netns");
        hosts_dir_ = "/etc/netns/" + c_->ns;
        std::filesystem::create_directories(hosts_dir_);
        WriteWholeFile(hosts_dir_ + "/hosts", "127.0.0.1 localhost\n" + a_->ip + " hosta\n");
    }

    void TearDown() override
    {
        if (!hosts_dir_.empty())
            std::filesystem::remove_all(hosts_dir_);
        std::error_code ignored; // only when empty: another program may use it meanwhile
        if (made_netns_)
            std::filesystem::remove("/etc/netns", ignored);
    }

    // nmbd as the WINS server, once it answers for its own name.
    std::unique_ptr<NmbdNode> StartWins()
    {
        auto nmbd = std::make_unique<NmbdNode>(net_.get(), *wins_, "WINSSRV",
                                               wins_->root + "/../nmbd", "wins support = yes\n");
        EXPECT_TRUE(WaitUntil([&] { return Lookup(*a_, "WINSSRV").find(wins_->ip) !=
                                           std::string::npos; },
                              30, 200))
            << nmbd->Log();
        return nmbd;
    }

    // What nmblookup on `h` learns of `name` from the WINS server alone.
    std::string Lookup(const Host &h, const std::string &name)
    {
        return net_->Run(h, {"nmblookup", "--recursion", "-U", wins_->ip, name}, 10).out;
    }

    Spawned Relay(const Host &h)
    {
        return net_->StartRelay(h, {"--wins", wins_->ip});
    }

    Spawned HoldSlot(const Host &h, const std::string &slot)
    {
        Spawned reader = net_->Start(h, {SLOT_READER_PATH, slot});
        EXPECT_TRUE(WaitForText(reader.outPath, "ready\n", 10)) << ReadWholeFile(reader.errPath);
        return reader;
    }

    // Writes `text` from `from` to `\\TO\mailslot\SLOT`; slot_writer's output.
    std::string Write(const Host &from, const std::string &to, const std::string &slot,
                      const std::string &text)
    {
        RunResult r = net_->Run(from, {SLOT_WRITER_PATH, "\\\\" + to + "\\mailslot\\" + slot, text});
        return r.out + r.err;
    }

    // The relay's answer on `h` for `name`.
    std::string Resolve(const Host &h, const std::string &name)
    {
        RunResult r = net_->Run(h, {RELAY_REQUEST_PATH, "resolve " + name}, 15);
        return r.out;
    }

    // Seconds from a write on `from` to `to`'s slot "ping" until `to`
    // writes back to `from`'s slot "pong" and it arrives: the readers on
    // both ends are `ping` and `pong`. Watched every millisecond.
    double RoundTrip(const Host &from, const Host &to, const Spawned &ping, const Spawned &pong,
                     int n)
    {
        const std::string tag = Hex("m" + std::to_string(n));
        auto arrived = [&](const Spawned &reader) {
            return WaitUntil([&] { return ReadWholeFile(reader.outPath).find(tag) != std::string::npos; },
                             5, 1);
        };
        auto start = std::chrono::steady_clock::now();
        Spawned there = net_->Start(from, {SLOT_WRITER_PATH, "\\\\" + to.hostname + "\\mailslot\\ping",
                                           "m" + std::to_string(n)});
        EXPECT_TRUE(arrived(ping));
        Spawned back = net_->Start(to, {SLOT_WRITER_PATH, "\\\\" + from.hostname + "\\mailslot\\pong",
                                        "m" + std::to_string(n)});
        EXPECT_TRUE(arrived(pong));
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        Wait(there, 5);
        Wait(back, 5);
        return seconds;
    }

    std::unique_ptr<TestNetwork> net_;
    Host *a_ = nullptr, *wins_ = nullptr, *c_ = nullptr, *d_ = nullptr;
    std::string hosts_dir_;
    bool made_netns_ = false;
};

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

TEST_F(AcrossRouter, NamesCrossThroughTheServerBroadcastsStayAndTheHostsFileServesWhenItIsDown)
{
    for (const char *bad : {"winsserver", "10.213.47", "255.255.255.255"}) {
        RunResult refused = net_->Run(*a_, {RELAY_PATH, "--wins", bad}, 10);
        EXPECT_EQ(refused.exitCode, 2) << bad;
        EXPECT_NE(refused.err.find("--wins needs the WINS server's IPv4 address"), std::string::npos);
    }
    std::unique_ptr<NmbdNode> nmbd = StartWins();
    Spawned relay_a = Relay(*a_);
    Spawned relay_c = Relay(*c_);
    Spawned relay_d = Relay(*d_);

    // Each relay says its names are in the server, as the server says too.
    for (const Spawned *relay : {&relay_a, &relay_c, &relay_d})
        EXPECT_TRUE(WaitForText(relay->errPath, "the WINS server " + wins_->ip + " grants WORKGROUP<00> (group)", 10))
            << ReadWholeFile(relay->errPath);
    for (const Host *h : {a_, c_, d_})
        EXPECT_TRUE(WaitUntil([&] { return Lookup(*d_, h->hostname).find(h->ip) !=
                                           std::string::npos; },
                              10, 200))
            << h->hostname << ": " << Lookup(*d_, h->hostname);

    // A write crosses the router both ways, found through the server.
    Spawned on_a = HoldSlot(*a_, "box"), on_c = HoldSlot(*c_, "box");
    EXPECT_EQ(Write(*c_, "HOSTA", "box", "to a"), "ok\n");
    EXPECT_EQ(Write(*a_, "hostc", "box", "to c"), "ok\n");
    EXPECT_TRUE(WaitForText(on_a.outPath, Hex("to a"), 5))
        << ReadWholeFile(relay_a.errPath);
    EXPECT_TRUE(WaitForText(on_c.outPath, Hex("to c"), 5)) << ReadWholeFile(on_c.outPath);

    // The service on A takes C's request; its reply, a broadcast to the
    // workgroup, stays on A's subnet, as on Windows, so C's client has none.
    RunResult created = net_->Run(*a_, {SVCCTL_PATH, "create", "Sample service", SERVICE_PATH});
    ASSERT_EQ(created.exitCode, 0) << created.err;
    Spawned service = net_->Start(*a_, {SVCCTL_PATH, "run", "Sample service"});
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(a_->root + "/mailslot/$Channel1$"); }, 10));
    const std::string file = a_->root + "/../two spaces.txt";
    WriteWholeFile(file, "a b c");
    RunResult across = net_->Run(*c_, {CLIENT_PATH, "--server", "HOSTA", "--timeout", "2", file});
    EXPECT_EQ(across.exitCode, 2) << across.out << across.err;
    EXPECT_NE(ReadWholeFile(LogPath(a_->root)).find("Received: <" + file + ">"), std::string::npos);
    Signal(service, SIGTERM);
    EXPECT_EQ(Wait(service, 30).exitCode, 0);

    // Request to reply across the router beside the same within C's subnet.
    Spawned ping_a = HoldSlot(*a_, "ping"), ping_d = HoldSlot(*d_, "ping");
    Spawned pong_c = HoldSlot(*c_, "pong");
    std::vector<double> routed, local;
    for (int i = 0; i < 7; ++i) {
        routed.push_back(RoundTrip(*c_, *a_, ping_a, pong_c, 2 * i));
        local.push_back(RoundTrip(*c_, *d_, ping_d, pong_c, 2 * i + 1));
    }
    printf("request to reply, median of %zu: across the router %.1f ms, within one subnet %.1f ms\n",
           routed.size(), Median(routed) * 1000, Median(local) * 1000);

    // D's relay releases its names with the server as it stops; a relay
    // without --wins takes its place, on its subnet alone.
    Signal(relay_d, SIGTERM);
    EXPECT_EQ(Wait(relay_d, 10).exitCode, 0);
    EXPECT_TRUE(nmbd->WaitForLog("Unique name release for name HOSTD<00> IP " + d_->ip, 5));
    EXPECT_TRUE(nmbd->WaitForLog("Group name release for name WORKGROUP<1e> IP " + d_->ip, 5));
    EXPECT_TRUE(WaitUntil([&] { return Lookup(*c_, "HOSTD").find(d_->ip) == std::string::npos; }, 5, 200));
    relay_d = net_->StartRelay(*d_);

    // The server's database holds the other hosts' names; it writes it as it stops.
    nmbd->Stop();
    std::string database = nmbd->WinsDatabase();
    for (const Host *h : {a_, c_}) {
        std::string upper = h->hostname;
        std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
        EXPECT_NE(database.find("\"" + upper + "#00\" "), std::string::npos) << database;
        EXPECT_NE(database.find(h->ip), std::string::npos) << database;
    }

    // The server down: within a subnet names resolve by broadcast, across
    // the router through the hosts file, and a name nobody knows is none.
    EXPECT_EQ(Resolve(*c_, "HOSTD"), "ok " + d_->ip + "\n");
    EXPECT_EQ(Resolve(*c_, "HOSTA"), "ok " + a_->ip + "\n");
    EXPECT_NE(Resolve(*c_, "NOSUCHHOST").rfind("ok", 0), 0u);
    EXPECT_EQ(Write(*c_, "HOSTA", "box", "by hosts"), "ok\n");
    EXPECT_TRUE(WaitForText(on_a.outPath, Hex("by hosts"), 5));
    // D's hosts file knows nothing beyond its subnet.
    EXPECT_NE(Resolve(*d_, "HOSTA").rfind("ok", 0), 0u);

    // The relays stop cleanly without their server.
    for (Spawned *relay : {&relay_a, &relay_c, &relay_d})
        Signal(*relay, SIGTERM);
    EXPECT_EQ(Wait(relay_c, 10).exitCode, 0);
}

// Beside the server's own nmbd, a relay with --wins works through nmbd's
// socket for nmbd's names: it finds C behind the router through the server,
// C reaches nmbd's name through it, and it registers nothing there itself.
TEST_F(AcrossRouter, BesideNmbdTheRelayAsksTheServerAndLeavesRegisteringToNmbd)
{
    std::unique_ptr<NmbdNode> nmbd = StartWins();
    Spawned relay_c = Relay(*c_);
    Spawned beside = net_->Start(*wins_, {RELAY_PATH, "--wins", wins_->ip, "--nmbd-socket-dir",
                                          nmbd->SocketDir()});
    ASSERT_TRUE(WaitForText(beside.errPath, "mode: beside nmbd", 10))
        << ReadWholeFile(beside.errPath);
    EXPECT_TRUE(WaitForText(relay_c.errPath, "grants HOSTC<00>", 10))
        << ReadWholeFile(relay_c.errPath);

    EXPECT_EQ(Resolve(*wins_, "HOSTC"), "ok " + c_->ip + "\n");
    Spawned on_server = HoldSlot(*wins_, "box"), on_c = HoldSlot(*c_, "box");
    EXPECT_EQ(Write(*c_, "WINSSRV", "box", "to nmbd's host"), "ok\n");
    EXPECT_EQ(Write(*wins_, "hostc", "box", "from nmbd's host"), "ok\n");
    EXPECT_TRUE(WaitForText(on_server.outPath, Hex("to nmbd's host"), 5))
        << ReadWholeFile(beside.errPath);
    EXPECT_TRUE(WaitForText(on_c.outPath, Hex("from nmbd's host"), 5))
        << ReadWholeFile(relay_c.errPath);

    Signal(beside, SIGTERM);
    EXPECT_EQ(Wait(beside, 10).exitCode, 0);
    EXPECT_EQ(ReadWholeFile(beside.errPath).find("grants"), std::string::npos)
        << ReadWholeFile(beside.errPath);
    EXPECT_FALSE(nmbd->WaitForLog("name release for name WINSSRV", 1)) << nmbd->Log();
    Signal(relay_c, SIGTERM);
}
