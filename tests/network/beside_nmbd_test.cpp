// The relay beside Samba's nmbd on one host: nmbd keeps its ports, names and
// browse list; mailslot requests cross both ways through nmbd's packet
// socket; and when nmbd stops, the relay takes charge as its own node.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>

#include "datagram_packet.h"
#include "nmbd_node.h"
#include "relay_network.h"

namespace {

using namespace relay;
using Bytes = std::vector<uint8_t>;

class BesideNmbd : public RelayNetwork {
protected:
    void SetUp() override
    {
        RelayNetwork::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        SkipOrFailFor(MissingForNmbd(), "run the relay beside nmbd");
        if (IsSkipped() || HasFatalFailure())
            return;
        // nmbd on A under A's own name and an alias, answering before the relay
        // starts, on every address as Samba's default has it, loopback included.
        nmbd_ = std::make_unique<NmbdNode>(net_.get(), *a_, "HOSTA", a_->root + "/../nmbd-hosta",
                                           "netbios aliases = FILES\nbind interfaces only = no\n");
        ASSERT_TRUE(WaitUntil([&] { return Nmblookup("HOSTA").out.find(a_->ip + " HOSTA<00>") !=
                                           std::string::npos; },
                              30, 200))
            << nmbd_->Log().substr(0, 4000);
        relay_a_ = net_->Start(*a_, {RELAY_PATH, "--nmbd-socket-dir", nmbd_->SocketDir()});
        ASSERT_TRUE(WaitForText(relay_a_.errPath, "mode: beside nmbd", 10))
            << ReadWholeFile(relay_a_.errPath);
        net_->StartRelay(*b_);
        file_ = a_->root + "/../two spaces.txt";
        WriteWholeFile(file_, "a b c");
    }

    // A request from `from` to `server`'s service: its answer, and how long it took.
    double Counted(const Host &from, const std::string &server)
    {
        RunResult count = net_->Run(from, {CLIENT_PATH, "--server", server, file_});
        EXPECT_EQ(count.out, "2\n") << count.err << ReadWholeFile(relay_a_.errPath);
        return count.seconds;
    }

    // A write from B to the slot `box` holds on A: milliseconds until it is there.
    double DeliveryMs(const Spawned &box, const std::string &text)
    {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Request(*b_, "send unique HOSTA box", text).out, "ok\n");
        EXPECT_TRUE(WaitUntil(
            [&] { return ReadWholeFile(box.outPath).find(Delivered(text)) != std::string::npos; },
            5, 1));
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count();
    }

    std::unique_ptr<NmbdNode> nmbd_;
    Spawned relay_a_;
    std::string file_;
};

Bytes MailFromC(uint8_t type, const std::string &to, const std::string &slot,
                const std::string &data)
{
    MailslotDatagram d;
    d.type = type;
    d.id = 91;
    d.source_ip = 0x0ad52f03;
    make_name("HOSTC", 0, &d.source);
    make_name(to, 0, &d.destination);
    d.slot = slot;
    d.data.assign(data.begin(), data.end());
    return build_mailslot_datagram(d);
}

double Median(std::vector<double> seconds)
{
    std::sort(seconds.begin(), seconds.end());
    return seconds[seconds.size() / 2];
}

} // namespace

TEST_F(BesideNmbd, RequestsCrossBothWaysAndNmbdKeepsItsNamesAndBrowseList)
{
    const std::string mode = ReadWholeFile(relay_a_.errPath);
    EXPECT_NE(mode.find("mode: beside nmbd, through " + nmbd_->SocketDir() +
                        "/unexpected, for HOSTA<00>, FILES<00>, WORKGROUP<00> (group), "
                        "WORKGROUP<1E> (group); a datagram over 576 bytes cannot pass nmbd"),
              std::string::npos)
        << mode;
    Spawned service_a = StartService(*a_);
    Spawned service_b = StartService(*b_);
    Counted(*b_, "HOSTA");
    Counted(*a_, "HOSTB");

    // nmbd still answers for its name and keeps its ports: the relay's
    // sockets are on ports of their own.
    EXPECT_NE(Nmblookup("HOSTA").out.find(a_->ip + " HOSTA<00>"), std::string::npos);
    std::istringstream sockets(net_->Run(*a_, {"ss", "-uanp"}).out);
    int relay_sockets = 0;
    for (std::string line; std::getline(sockets, line);) {
        if (line.find("\"mailslot-relay\"") == std::string::npos)
            continue;
        ++relay_sockets;
        EXPECT_EQ(line.find(":137 "), std::string::npos) << line;
        EXPECT_EQ(line.find(":138 "), std::string::npos) << line;
    }
    EXPECT_EQ(relay_sockets, 2);

    // For a name nmbd holds, delivered once, repeats and all; for another
    // name, dropped and counted.
    Spawned box = HoldSlot(*a_, "box");
    net_->SendUdp(*c_, TestNetwork::kBroadcast, 138, MailFromC(kDirectGroup, "WORKGROUP", "box", "once"));
    net_->SendUdp(*c_, a_->ip, 138, MailFromC(kDirectUnique, "NOSUCH", "box", "not ours"));
    net_->SendUdp(*c_, a_->ip, 138, MailFromC(kDirectUnique, "HOSTA", "box", "mine"));
    // A program on A itself, through nmbd over loopback: its datagram would
    // enter the slot with the relay's credentials rather than its own.
    net_->SendUdp(*a_, "127.0.0.1", 138, MailFromC(kDirectUnique, "HOSTA", "box", "local"));
    EXPECT_EQ(Request(*b_, "send unique FILES box", "to the alias").out, "ok\n");
    EXPECT_TRUE(WaitForText(box.outPath, Delivered("to the alias"), 5));
    EXPECT_EQ(Write(*a_, "\\\\files\\mailslot\\box", {"alias here"}), "ok\n");
    EXPECT_TRUE(WaitForText(box.outPath, Delivered("alias here"), 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(ReadWholeFile(box.outPath), "ready\n" + Delivered("once") + Delivered("mine") +
                                              Delivered("to the alias") + Delivered("alias here"));
    EXPECT_EQ(CounterOf(Counters(relay_a_), "not ours"), 1u);

    // nmbd still takes browser mail: host B's announcement fills its list.
    ASSERT_TRUE(nmbd_->WaitForLog("is now a local master browser for workgroup WORKGROUP", 40));
    std::string announcement = std::string("\x01\0\x80\xfc\x0a\0HOSTB", 11) + std::string(11, '\0') +
                               std::string("\x06\x01\x03\x10\0\0\x0f\x01\x55\xaa", 10) +
                               "relay host" + std::string(1, '\0');
    EXPECT_EQ(Write(*b_, "\\\\WORKGROUP\\mailslot\\BROWSE", {"=" + Hex(announcement)}), "ok\n");
    EXPECT_TRUE(WaitUntil([&] { return nmbd_->BrowseList().find("\"HOSTB\"") != std::string::npos; },
                          90, 200))
        << nmbd_->BrowseList();
}

TEST_F(BesideNmbd, StoppingNmbdPutsTheRelayInChargeAndTheRouteCostIsMeasured)
{
    Spawned service = StartService(*a_);
    Spawned box = HoldSlot(*a_, "box");
    std::vector<double> beside, alone, write_beside, write_alone;
    for (int i = 0; i < 7; ++i) {
        beside.push_back(Counted(*b_, "HOSTA"));
        write_beside.push_back(DeliveryMs(box, "beside " + std::to_string(i)));
    }

    nmbd_->Stop();
    EXPECT_TRUE(WaitForText(relay_a_.errPath, "nmbd closed its socket: connecting again", 5));
    EXPECT_TRUE(WaitForText(relay_a_.errPath, "registered on veth0", 60))
        << ReadWholeFile(relay_a_.errPath);
    EXPECT_NE(ReadWholeFile(relay_a_.errPath).find("mode: its own NetBIOS node"), std::string::npos);
    EXPECT_NE(Nmblookup("HOSTA").out.find(a_->ip + " HOSTA<00>"), std::string::npos);
    for (int i = 0; i < 7; ++i) {
        alone.push_back(Counted(*b_, "HOSTA"));
        write_alone.push_back(DeliveryMs(box, "alone " + std::to_string(i)));
    }
    printf("medians of 7, beside nmbd and with the relay alone: request to reply from another "
           "host %.4f s and %.4f s; a write from another host into a slot %.2f ms and %.2f ms\n",
           Median(beside), Median(alone), Median(write_beside), Median(write_alone));
}

TEST_F(BesideNmbd, WhileAnotherProgramHoldsThePortsItSaysWhyThenTakesChargeOnceTheyAreFree)
{
    // Bound beside nmbd's own socket on A's address, as nmbd allows.
    int holder = -1;
    net_->InHost(*a_, [&] {
        holder = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int on = 1;
        struct sockaddr_in at = {};
        at.sin_family = AF_INET;
        at.sin_port = htons(137);
        inet_pton(AF_INET, a_->ip.c_str(), &at.sin_addr);
        EXPECT_EQ(setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on), 0);
        EXPECT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&at), sizeof at), 0) << strerror(errno);
    }).join();

    nmbd_->Stop();
    EXPECT_TRUE(WaitForText(relay_a_.errPath,
                            "cannot take charge yet, trying again every second: UDP port 137 is in "
                            "use by network_test (pid " + std::to_string(getpid()) + ")",
                            10))
        << ReadWholeFile(relay_a_.errPath);
    close(holder);
    EXPECT_TRUE(WaitForText(relay_a_.errPath, "registered on veth0", 10))
        << ReadWholeFile(relay_a_.errPath);
    EXPECT_EQ(Lines(ReadWholeFile(relay_a_.errPath), "cannot take charge yet"), 1);
}

TEST_F(BesideNmbd, AnAccountThatCrowdsNmbdsSocketPutsTheRelayOffItForAMomentOnly)
{
    // nmbd closes its oldest client past 200: the relay, once 200 more have come.
    const std::string path = nmbd_->SocketDir() + "/unexpected";
    std::vector<int> crowd;
    for (int i = 0; i < 200; ++i) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un at = {};
        at.sun_family = AF_UNIX;
        snprintf(at.sun_path, sizeof at.sun_path, "%s", path.c_str());
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&at), sizeof at), 0) << strerror(errno);
        crowd.push_back(fd);
    }
    EXPECT_TRUE(WaitForText(relay_a_.errPath, "nmbd closed its socket: connecting again", 10))
        << ReadWholeFile(relay_a_.errPath);
    EXPECT_TRUE(WaitUntil([&] { return Lines(ReadWholeFile(relay_a_.errPath), "mode: beside nmbd") == 2; },
                          5));
    Spawned box = HoldSlot(*a_, "box");
    EXPECT_EQ(Request(*b_, "send unique HOSTA box", "still here").out, "ok\n");
    EXPECT_TRUE(WaitForText(box.outPath, Delivered("still here"), 5));
    for (int fd : crowd)
        close(fd);
}
