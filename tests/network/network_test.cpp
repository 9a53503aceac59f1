// mailslot-relay between hosts on a network of their own (see
// netns_hosts.h): names as Samba's nmblookup sees them, datagrams as tshark
// decodes them, delivery into slots held through the platform layer, and
// what the relay must shrug off.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <random>
#include <sstream>
#include <thread>

#include "datagram_packet.h"
#include "name_packet.h"
#include "relay_network.h"

using namespace relay;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Datagram(uint8_t type, const std::string &to, const std::string &slot, const std::string &data,
               uint8_t suffix = 0)
{
    MailslotDatagram d;
    d.type = type;
    d.id = 77;
    d.source_ip = 0x0ad52f03;
    make_name("HOSTC", 0, &d.source);
    make_name(to, suffix, &d.destination);
    d.slot = slot;
    d.data.assign(data.begin(), data.end());
    return build_mailslot_datagram(d);
}

// A capture of the bridge, so every packet between the hosts, decoded by
// tshark when it stops.
class Capture {
public:
    Capture(TestNetwork *net) : net_(net)
    {
        file_ = net->host(0).root + "/../capture.pcapng";
        tshark_ = net->Start(net->bridge_ns(), "bridge", net->host(0).root,
                             {"tshark", "-i", "br0", "-f", "udp port 137 or udp port 138",
                              "-w", file_});
        EXPECT_TRUE(WaitForText(tshark_.errPath, "Capturing on", 20))
            << ReadWholeFile(tshark_.errPath);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }

    // Stops the capture and gives tshark's fields for packets that match
    // `filter`, one line per packet.
    std::string Stop(const std::string &filter, const std::vector<std::string> &fields)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        Signal(tshark_, SIGINT);
        Wait(tshark_, 10);
        std::string command = std::string("tshark") + " -r " + file_ + " -Y '" + filter +
                              "' -T fields";
        for (const std::string &f : fields)
            command += " -e " + f;
        return Shell(command);
    }

    // Packets tshark finds malformed in the capture (after Stop).
    std::string Malformed()
    {
        return Shell(std::string("tshark") + " -r " + file_ + " -Y _ws.malformed");
    }

private:
    static std::string Shell(const std::string &command)
    {
        std::string out;
        FILE *p = popen((command + " 2>/dev/null").c_str(), "r");
        char buffer[4096];
        size_t n;
        while (p && (n = fread(buffer, 1, sizeof buffer, p)) > 0)
            out.append(buffer, n);
        if (p)
            pclose(p);
        return out;
    }

    TestNetwork *net_;
    std::string file_;
    Spawned tshark_;
};


} // namespace

TEST_F(RelayNetwork, NmblookupResolvesEachRelayAndTheGroupAndRelaysResolveEachOther)
{
    net_->StartRelay(*a_);
    net_->StartRelay(*b_);

    RunResult found = Nmblookup("HOSTA");
    EXPECT_EQ(found.exitCode, 0) << found.out << found.err;
    EXPECT_NE(found.out.find(a_->ip + " HOSTA<00>"), std::string::npos) << found.out;
    found = Nmblookup("hostb");
    EXPECT_NE(found.out.find(b_->ip + " hostb<00>"), std::string::npos) << found.out;
    found = Nmblookup("WORKGROUP");
    EXPECT_NE(found.out.find(a_->ip + " WORKGROUP<00>"), std::string::npos) << found.out;
    EXPECT_NE(found.out.find(b_->ip + " WORKGROUP<00>"), std::string::npos) << found.out;
    found = Nmblookup("HOSTC");
    EXPECT_NE(found.out.find("failed to find name"), std::string::npos) << found.out;
    // Node status: the names A holds, the groups flagged.
    RunResult status = net_->Run(*c_, {"nmblookup", "-A", a_->ip});
    EXPECT_EQ(status.exitCode, 0) << status.err;
    for (const char *line : {"\tHOSTA           <00> -         B <ACTIVE> \n",
                             "\tWORKGROUP       <00> - <GROUP> B <ACTIVE> \n",
                             "\tWORKGROUP       <1e> - <GROUP> B <ACTIVE> \n"})
        EXPECT_NE(status.out.find(line), std::string::npos) << status.out;
    EXPECT_EQ(Lines(status.out, "<ACTIVE>"), 3) << status.out;

    // Any local account may use the hand-off socket.
    RunResult resolved = Wait(net_->Start(b_->ns, b_->hostname, b_->root,
                                         {RELAY_REQUEST_PATH, "resolve hosta"}, true),
                             10);
    EXPECT_EQ(resolved.out, "ok " + a_->ip + "\n") << resolved.err;
    EXPECT_EQ(net_->Run(*b_, {RELAY_REQUEST_PATH, "resolve workgroup"}).out, "ok group\n");
    resolved = net_->Run(*b_, {RELAY_REQUEST_PATH, "resolve HOSTC"});
    EXPECT_EQ(resolved.out, "error 53\n");
    EXPECT_EQ(resolved.exitCode, 1);
}

TEST_F(RelayNetwork, ForgedRefusalsStopNoRelayButARealOneDoesNamingItsSender)
{
    // Host C refuses every name it can think of, every 20 ms, with ids of
    // its own choosing and a made-up holder.
    std::atomic<bool> forging{true};
    std::thread forger = net_->InHost(*c_, [&] {
        int fd = BoundUdpSocket(0);
        ASSERT_GE(fd, 0);
        std::mt19937 ids{uint32_t(getpid())};
        for (int round = 0; forging; ++round) {
            NamePacket refusal;
            refusal.id = uint16_t(ids());
            refusal.response = refusal.authoritative = true;
            refusal.opcode = kOpRegistration;
            refusal.rcode = kRcodeActive;
            refusal.has_record = true;
            const char *names[] = {"HOSTA", "HOSTB", "WORKGROUP"};
            make_name(names[round % 3], 0, &refusal.record.name);
            refusal.record.address = 0x0ad52f63; // 10.213.47.99, nobody
            SendTo(fd, TestNetwork::kBroadcast, 137, build_name_packet(refusal));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        close(fd);
    });
    Spawned first = net_->StartRelay(*a_);
    Spawned second = net_->Start(*b_, {RELAY_PATH, "--name", "hosta"});
    RunResult refused = Wait(second, 10);
    forging = false;
    forger.join();
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("mailslot-relay: the name HOSTA<00> is already held by " + a_->ip +
                               ": choose another with --name\n"),
              std::string::npos)
        << refused.err;
    EXPECT_GT(CounterOf(Counters(first), "name packets ignored"), 0u);

    RunResult found = Nmblookup("HOSTA");
    EXPECT_EQ(found.out.find(b_->ip + " "), std::string::npos) << found.out;
    EXPECT_NE(found.out.find(a_->ip + " HOSTA<00>"), std::string::npos) << found.out;

    // The one that holds the name stops cleanly, releasing it.
    Signal(first, SIGTERM);
    EXPECT_EQ(Wait(first, 10).exitCode, 0);
    EXPECT_FALSE(std::filesystem::exists(a_->root + "/mailslot-relay/socket"));
}

TEST_F(RelayNetwork, TwoHostsAnsweringForOneNameAreBelievedNeitherUntilOneStops)
{
    Spawned relay_a = net_->StartRelay(*a_);
    net_->StartRelay(*b_);
    // Host C answers every query for HOSTB at once, with an address of its own.
    std::atomic<bool> lying{true};
    std::thread liar = net_->InHost(*c_, [&] {
        int fd = BoundUdpSocket(137);
        ASSERT_GE(fd, 0);
        struct timeval tick = {0, 50000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
        while (lying) {
            uint8_t buffer[600];
            struct sockaddr_in from = {};
            socklen_t length = sizeof from;
            ssize_t got = recvfrom(fd, buffer, sizeof buffer, 0,
                                   reinterpret_cast<sockaddr *>(&from), &length);
            NamePacket query;
            NetbiosName hostb;
            make_name("HOSTB", 0, &hostb);
            if (got <= 0 || parse_name_packet(buffer, size_t(got), &query) != Parse::Ok ||
                query.response || query.question != hostb)
                continue;
            NamePacket answer;
            answer.id = query.id;
            answer.response = answer.authoritative = answer.recursion_desired = true;
            answer.has_record = true;
            answer.record.name = hostb;
            answer.record.ttl = 300000;
            answer.record.address = 0x0ad52f03;
            sendto(fd, build_name_packet(answer).data(), build_name_packet(answer).size(), 0,
                   reinterpret_cast<sockaddr *>(&from), length);
        }
        close(fd);
    });
    Spawned box = HoldSlot(*b_, "box");
    RunResult resolved = net_->Run(*a_, {RELAY_REQUEST_PATH, "resolve hostb"});
    EXPECT_EQ(resolved.out, "error 53\n");
    // Meanwhile a write to that name fails at its open, as for a name nobody holds.
    EXPECT_EQ(Write(*a_, "\\\\hostb\\mailslot\\box", {"to whom?"}), "open error 53\n");
    lying = false;
    liar.join();
    EXPECT_NE(ReadWholeFile(relay_a.errPath)
                  .find("mailslot-relay: conflicting answers for HOSTB<00>: "),
              std::string::npos)
        << ReadWholeFile(relay_a.errPath);
    EXPECT_NE(ReadWholeFile(relay_a.errPath).find("; neither is used\n"), std::string::npos);

    // Nothing was cached: once the liar is quiet, B is found and reached.
    EXPECT_EQ(net_->Run(*a_, {RELAY_REQUEST_PATH, "resolve hostb"}).out, "ok " + b_->ip + "\n");
    EXPECT_EQ(Write(*a_, "\\\\hostb\\mailslot\\box", {"to b"}), "ok\n");
    EXPECT_TRUE(WaitForText(box.outPath, Delivered("to b"), 5));
    EXPECT_EQ(ReadWholeFile(box.outPath), "ready\n" + Delivered("to b"));
}

TEST_F(RelayNetwork, SentDatagramsDecodeAsMailslotWritesAndArriveWhole)
{
    net_->StartRelay(*a_);
    net_->StartRelay(*b_);
    Spawned reply_slot = HoldSlot(*a_, "$Channel2$");
    Spawned box_b = HoldSlot(*b_, "box");
    Spawned box_c = HoldSlot(*c_, "box"); // host C runs no relay: nothing reaches it
    Capture capture(net_.get());

    std::string largest(kMaxMailslotData, 'x');
    largest[0] = ' ';
    EXPECT_EQ(Request(*b_, "send unique HOSTA $CHANNEL2$", "2").out, "ok\n");
    EXPECT_EQ(Request(*b_, "send unique hosta $Channel2$", largest).out, "ok\n");
    EXPECT_EQ(Request(*b_, "send unique hosta $Channel2$", largest + "x").out, "error 53\n");
    EXPECT_EQ(Request(*b_, "send unique HOSTC $Channel2$", "lost").out, "error 53\n");
    EXPECT_EQ(Request(*a_, "send group WORKGROUP box", "group").out, "ok\n");
    EXPECT_EQ(Request(*a_, "send all box", "all").out, "ok\n");
    EXPECT_EQ(Request(*a_, "send group OTHERGROUP box", "other").out, "ok\n");

    EXPECT_TRUE(WaitForText(reply_slot.outPath, Delivered(largest), 5));
    EXPECT_TRUE(WaitForText(box_b.outPath, Delivered("all"), 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(ReadWholeFile(reply_slot.outPath), "ready\n" + Delivered("2") + Delivered(largest));
    EXPECT_EQ(ReadWholeFile(box_b.outPath), "ready\n" + Delivered("group") + Delivered("all"));
    EXPECT_EQ(ReadWholeFile(box_c.outPath), "ready\n");

    std::string writes = capture.Stop("mailslot", {"ip.src", "ip.dst", "nbdgm.type",
                                                   "nbdgm.source_name", "nbdgm.destination_name",
                                                   "mailslot.name", "data.data"});
    std::string from_b = b_->ip + "\t" + a_->ip + "\t16\tHOSTB<00>\tHOSTA<00>\t";
    std::string from_a = a_->ip + "\t" + TestNetwork::kBroadcast + "\t17\tHOSTA<00>\t";
    std::string expected = from_b + "\\MAILSLOT\\$CHANNEL2$\t" + Hex("2") + "\n" +
                           from_b + "\\MAILSLOT\\$Channel2$\t" + Hex(largest) + "\n" +
                           from_a + "WORKGROUP<00>\t\\MAILSLOT\\box\t" + Hex("group") + "\n" +
                           from_a + "WORKGROUP<00>\t\\MAILSLOT\\box\t" + Hex("all") + "\n" +
                           from_a + "OTHERGROUP<00>\t\\MAILSLOT\\box\t" + Hex("other") + "\n";
    EXPECT_EQ(writes, expected);
    EXPECT_EQ(capture.Malformed(), "");
}

TEST_F(RelayNetwork, DatagramsForNamesNotHeldForMissingSlotsOrMalformedAreCountedAndChangeNothing)
{
    Spawned relay = net_->StartRelay(*a_);
    Spawned box = HoldSlot(*a_, "box");
    const std::string a = a_->ip;

    net_->SendUdp(*c_, a, 138, Datagram(kDirectGroup, "OTHERGROUP", "box", "other group"));
    net_->SendUdp(*c_, TestNetwork::kBroadcast, 138, Datagram(kDirectUnique, "HOSTB", "box", "b"));
    // Other names with our letters: the master browsers' (held by others) and
    // a suffix we never registered.
    net_->SendUdp(*c_, a, 138, Datagram(kDirectUnique, "WORKGROUP", "box", "master", 0x1d));
    net_->SendUdp(*c_, a, 138, Datagram(kDirectUnique, "HOSTA", "box", "server", 0x20));
    Bytes query = Datagram(kDirectUnique, "HOSTA", "box", "a query");
    query[0] = 0x14;
    net_->SendUdp(*c_, a, 138, query);
    net_->SendUdp(*c_, a, 138, Datagram(kDirectUnique, "HOSTA", "nosuch", "no slot"));
    net_->SendUdp(*c_, a, 138, Datagram(kDirectUnique, "HOSTA", "..", "no slot"));
    std::string too_long(kMaxMailslotData + 1, 'x');
    net_->SendUdp(*c_, a, 138, Datagram(kDirectUnique, "HOSTA", "box", too_long));
    Bytes fragment = Datagram(kDirectUnique, "HOSTA", "box", "fragment");
    fragment[1] |= kFlagMore;
    net_->SendUdp(*c_, a, 138, fragment);
    Bytes good = Datagram(kDirectUnique, "HOSTA", "box", "after");
    Bytes lying = good;
    lying[10] = 0x7f; // DGM_LENGTH far past the packet
    Bytes cut(good.begin(), good.end() - 10);
    cut[10] = 0;
    cut[11] = uint8_t(cut.size() - 14); // the lengths agree, the SMB is cut short
    for (const Bytes &bad : {lying, cut, Bytes{0x11}, Bytes(600, 0x11), Bytes()})
        net_->SendUdp(*c_, a, 138, bad);
    net_->SendUdp(*c_, a, 137, Bytes(40, 0xc0));
    net_->SendUdp(*c_, a, 137, Bytes{1, 2, 3});

    // The browsers' election group is ours to deliver.
    net_->SendUdp(*c_, TestNetwork::kBroadcast, 138,
                  Datagram(kDirectGroup, "WORKGROUP", "box", "election", 0x1e));
    net_->SendUdp(*c_, a, 138, good); // and the relay still serves
    EXPECT_TRUE(WaitForText(box.outPath, Delivered("after"), 5));
    EXPECT_EQ(ReadWholeFile(box.outPath), "ready\n" + Delivered("election") + Delivered("after"));
    std::vector<std::string> slots;
    for (const auto &entry : std::filesystem::directory_iterator(a_->root + "/mailslot"))
        slots.push_back(entry.path().filename());
    EXPECT_EQ(slots, std::vector<std::string>{"box"});
    const std::string counted = "delivered 2, waiting 0, dropped 16 (not ours 4, fragment 1, "
                                "unsupported 1, no slot 2, slot full 0, too large 1, malformed 7), "
                                "name packets ignored 0, kernel drops 0, sent 0";
    EXPECT_EQ(CountersBecome(relay, counted), counted);
    EXPECT_NE(Nmblookup("HOSTA").out.find(a + " HOSTA<00>"), std::string::npos);
}

TEST_F(RelayNetwork, ARelayKilledAndRestartedServesAgain)
{
    Spawned relay = net_->StartRelay(*a_);
    net_->StartRelay(*b_);
    Spawned box = HoldSlot(*a_, "box");
    EXPECT_EQ(Request(*b_, "send unique HOSTA box", "before").out, "ok\n");
    EXPECT_TRUE(WaitForText(box.outPath, Delivered("before"), 5));

    Signal(relay, SIGKILL);
    Wait(relay, 5);
    net_->StartRelay(*a_);
    EXPECT_NE(Nmblookup("HOSTA").out.find(a_->ip + " HOSTA<00>"), std::string::npos);
    EXPECT_EQ(Request(*b_, "send unique HOSTA box", "again").out, "ok\n");
    EXPECT_EQ(Request(*a_, "send unique HOSTB box", "hand-off back").out, "ok\n");
    EXPECT_TRUE(WaitForText(box.outPath, Delivered("again"), 5));
}

TEST_F(RelayNetwork, WithoutPrivilegeWithoutItsInterfaceOrWithItsPortTakenItSaysWhy)
{
    RunResult unprivileged = Wait(net_->Start(a_->ns, "hosta", a_->root, {RELAY_PATH}, true), 10);
    EXPECT_EQ(unprivileged.exitCode, 1);
    EXPECT_EQ(unprivileged.err, "mailslot-relay: UDP port 137 needs root or CAP_NET_BIND_SERVICE: "
                                "run it as root or grant the capability\n");

    RunResult no_such = Wait(net_->Start(*a_, {RELAY_PATH, "--interface", "eth9"}), 10);
    EXPECT_EQ(no_such.exitCode, 1);
    EXPECT_EQ(no_such.err, "mailslot-relay: interface eth9 is not an up, broadcast-capable IPv4 "
                           "interface other than loopback\n");

    // A second relay on one host finds the ports taken, and says by whom.
    Spawned first = net_->StartRelay(*b_);
    RunResult taken = Wait(net_->Start(*b_, {RELAY_PATH, "--name", "other"}), 10);
    EXPECT_EQ(taken.exitCode, 1);
    EXPECT_NE(taken.err.find("mailslot-relay: UDP port 137 is in use by mailslot-relay (pid " +
                             std::to_string(first.pid) + ")\n"),
              std::string::npos)
        << taken.err;
    EXPECT_EQ(std::count(taken.err.begin(), taken.err.end(), '\n'), 1);
}

TEST_F(RelayNetwork, AClientOnAnotherHostGetsItsAnswerAndEveryHolderInTheWorkgroupTheReplies)
{
    for (Host *h : {a_, b_, c_})
        net_->StartRelay(*h);
    Spawned service = StartService(*a_);
    Spawned watcher = HoldSlot(*c_, "$Channel2$"); // a third host's holder of the reply slot
    Capture capture(net_.get());
    const std::string file = a_->root + "/../three spaces.txt", missing = file + ".missing";
    WriteWholeFile(file, "a b c d");

    RunResult count = net_->Run(*b_, {CLIENT_PATH, "--server", "hosta", file});
    EXPECT_EQ(count.exitCode, 0) << count.err;
    EXPECT_EQ(count.out, "3\n");
    RunResult cannot = net_->Run(*b_, {CLIENT_PATH, "--server", "HOSTA", missing});
    const std::string cannot_open = "(Server)Can't open " + missing + "!";
    EXPECT_EQ(cannot.exitCode, 1) << cannot.err;
    EXPECT_EQ(cannot.out, cannot_open + "\n");
    EXPECT_TRUE(WaitForText(watcher.outPath, Delivered(cannot_open + '\0'), 5));
    EXPECT_NE(ReadWholeFile(watcher.outPath).find(Delivered(std::string("3", 2))), std::string::npos);
    Signal(service, SIGTERM);
    EXPECT_EQ(Wait(service, 30).exitCode, 0);

    // B's requests to A's slot, each between its markers, and A's replies to
    // the workgroup: nothing else, and all of it mailslot writes.
    std::string datagrams = capture.Stop("nbdgm", {"ip.src", "ip.dst", "nbdgm.type",
                                                   "nbdgm.source_name", "nbdgm.destination_name",
                                                   "mailslot.name", "data.data"});
    const std::string request = b_->ip + "\t" + a_->ip + "\t16\tHOSTB<00>\tHOSTA<00>\t"
                                "\\MAILSLOT\\$Channel1$\t";
    const std::string reply = a_->ip + "\t" + TestNetwork::kBroadcast +
                              "\t17\tHOSTA<00>\tWORKGROUP<00>\t\\MAILSLOT\\$Channel2$\t";
    const std::string marker = Hex("\\\\?\\mailslot-client\\HOSTB\\");
    const std::string expected[] = {request + marker, request + Hex(file) + "\n",
                                    request + Hex(missing) + "\n",
                                    reply + Hex("(Server)Can't open " + std::string("\\\\?\\")),
                                    reply + Hex(std::string("3", 2)) + "\n",
                                    reply + Hex(cannot_open + '\0') + "\n"};
    std::istringstream lines(datagrams);
    int requests = 0, replies = 0;
    for (std::string line; std::getline(lines, line);) {
        requests += line.compare(0, request.size(), request) == 0;
        replies += line.compare(0, reply.size(), reply) == 0;
    }
    EXPECT_EQ(requests, 6) << datagrams; // a marker, the path and a marker, twice
    EXPECT_EQ(replies, 6) << datagrams;
    EXPECT_EQ(requests + replies, std::count(datagrams.begin(), datagrams.end(), '\n'));
    for (const std::string &line : expected)
        EXPECT_NE(datagrams.find(line), std::string::npos) << line << "\n" << datagrams;
    EXPECT_EQ(capture.Malformed(), "");
}

TEST_F(RelayNetwork, LayerWritesReachOtherHostsAndABroadcastReachesEachHostOnce)
{
    // No relay: another host is out of reach, as it always was.
    EXPECT_EQ(Write(*b_, "\\\\hosta\\mailslot\\box", {"hi"}), "open error 53\n");
    for (Host *h : {a_, b_, c_})
        net_->StartRelay(*h);
    const Spawned boxes[] = {HoldSlot(*a_, "box"), HoldSlot(*b_, "box"), HoldSlot(*c_, "box")};
    Capture capture(net_.get());

    // Any account may: the relay delivers as a broadcast, which every slot takes.
    EXPECT_EQ(Write(*b_, "\\\\HOSTA\\mailslot\\BOX", {"to a", "@424", "@425"}, true),
              "ok\nok\nerror 53\n");
    EXPECT_EQ(Write(*b_, "\\\\nosuch\\mailslot\\box", {"lost"}), "open error 53\n");
    EXPECT_EQ(Write(*a_, "\\\\*\\mailslot\\box", {"all"}), "ok\n");
    EXPECT_EQ(Write(*c_, "\\\\workgroup\\mailslot\\box", {"group"}), "ok\n");

    for (const Spawned &box : boxes)
        EXPECT_TRUE(WaitForText(box.outPath, Delivered("group"), 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::string both = Delivered("all") + Delivered("group");
    const std::string largest(424, 'x');
    EXPECT_EQ(ReadWholeFile(boxes[0].outPath), "ready\n" + Delivered("to a") + Delivered(largest) + both);
    EXPECT_EQ(ReadWholeFile(boxes[1].outPath), "ready\n" + both);
    EXPECT_EQ(ReadWholeFile(boxes[2].outPath), "ready\n" + both);

    std::string writes = capture.Stop("nbdgm", {"ip.src", "ip.dst", "nbdgm.type",
                                                "nbdgm.source_name", "nbdgm.destination_name",
                                                "mailslot.name", "data.data"});
    const std::string to_a = b_->ip + "\t" + a_->ip + "\t16\tHOSTB<00>\tHOSTA<00>\t\\MAILSLOT\\BOX\t";
    const std::string group = "\t" + std::string(TestNetwork::kBroadcast) + "\t17\t";
    EXPECT_EQ(writes, to_a + Hex("to a") + "\n" + to_a + Hex(largest) + "\n" + a_->ip + group +
                          "HOSTA<00>\tWORKGROUP<00>\t\\MAILSLOT\\box\t" + Hex("all") + "\n" +
                          c_->ip + group + "HOSTC<00>\tWORKGROUP<00>\t\\MAILSLOT\\box\t" +
                          Hex("group") + "\n");
    EXPECT_EQ(capture.Malformed(), "");
}

TEST_F(RelayNetwork, AFullSlotDelaysNoOtherSlotAndTheCountersAddUpToWhatWasSent)
{
    Spawned relay = net_->StartRelay(*a_);
    net_->StartRelay(*b_);
    Spawned service = StartService(*a_);
    Spawned idle = net_->Start(*a_, {SLOT_READER_PATH, "IDLE", "--never-read"});
    ASSERT_TRUE(WaitForText(idle.outPath, "ready\n", 10));
    const std::string file = a_->root + "/../two spaces.txt";
    WriteWholeFile(file, "a b c");
    auto request = [&] {
        RunResult count = net_->Run(*b_, {CLIENT_PATH, "--server", "hosta", file});
        EXPECT_EQ(count.out, "2\n") << count.err;
        return count.seconds;
    };
    const double unloaded = request();

    // 3,000 datagrams for the slot nobody reads, in about 0.1 s.
    const int kFlood = 3000;
    const Bytes idle_mail = Datagram(kDirectUnique, "HOSTA", "IDLE", "never read");
    for (int burst = 0; burst < 30; ++burst) {
        net_->SendUdp(*c_, a_->ip, 138, std::vector<Bytes>(kFlood / 30, idle_mail));
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    const double loaded = request();
    EXPECT_LT(loaded, unloaded + 1.0) << "without the flood " << unloaded << " s";
    printf("a request from another host: %.3f s without the flood, %.3f s after it\n", unloaded,
           loaded);

    // Each client run sends the service three datagrams (a marker, the path,
    // a marker); every datagram from another host is accounted for.
    const uint64_t sent = kFlood + 2 * 3;
    std::string line;
    auto accounted = [&] {
        line = Counters(relay);
        return CounterOf(line, "delivered") + CounterOf(line, "waiting") +
               CounterOf(line, "dropped") + CounterOf(line, "kernel drops");
    };
    EXPECT_TRUE(WaitUntil([&] { return accounted() == sent; }, 5, 100)) << line;
    uint64_t reasons = 0;
    for (const char *reason : {"not ours", "fragment", "unsupported", "no slot", "slot full",
                               "too large", "malformed"})
        reasons += CounterOf(line, reason);
    EXPECT_EQ(reasons, CounterOf(line, "dropped")) << line;
    EXPECT_GT(CounterOf(line, "slot full"), 0u) << line;
    // However fast the slot took what it could, its queue kept to its bound.
    EXPECT_LE(CounterOf(line, "waiting"), 128u) << line;
    printf("after %d datagrams for an unread slot: %s\n", kFlood, line.c_str());
}
