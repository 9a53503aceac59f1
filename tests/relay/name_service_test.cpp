// The name service's logic, driven by hand with a transport that records
// what it sends: registration timing, answers, defence, conflicts, the
// resolver and its cache.
#include <gtest/gtest.h>

#include <vector>

#include "name_service.h"

using namespace relay;

namespace {

struct Sent {
    uint32_t to;
    uint16_t port;
    NamePacket packet;
};

class Recorder : public NameTransport {
public:
    void send_name_packet(const Interface &, uint32_t to, uint16_t port,
                          const std::vector<uint8_t> &bytes) override
    {
        Sent s{to, port, {}};
        EXPECT_EQ(parse_name_packet(bytes.data(), bytes.size(), &s.packet), Parse::Ok);
        sent.push_back(s);
    }
    std::vector<Sent> sent;
};

NetbiosName Name(const char *text)
{
    NetbiosName name;
    make_name(text, 0, &name);
    return name;
}

class NameServiceTest : public ::testing::Test {
protected:
    static Interface Lan()
    {
        Interface lan;
        lan.name = "veth0";
        lan.index = 2;
        lan.address = 0x0a4d0001;
        lan.netmask = 0xffffff00;
        lan.broadcast = 0x0a4d00ff;
        return lan;
    }

    // Runs the clock to `until`, ticking as the event loop would.
    void RunUntil(Millis until)
    {
        while (service.next_deadline() >= 0 && service.next_deadline() <= until) {
            now = service.next_deadline();
            service.tick(now);
        }
        now = until;
        service.tick(now);
    }

    void Register()
    {
        service.start(now);
        RunUntil(now + 1000);
        ASSERT_EQ(service.state(), NameService::State::Registered);
        net.sent.clear();
    }

    NamePacket Request(uint8_t opcode, const char *name)
    {
        NamePacket p;
        p.id = 99;
        p.opcode = opcode;
        p.broadcast = true;
        p.has_question = true;
        p.question = Name(name);
        return p;
    }

    Interface lan = Lan();
    Recorder net;
    NameService service{Name("HOSTA"), Name("WORKGROUP"), {lan}, &net, 100};
    Millis now = 1000;
};

} // namespace

TEST_F(NameServiceTest, RegistersByThreeBroadcastsThenAnswersForBothNames)
{
    service.start(now);
    RunUntil(now + 600);
    EXPECT_EQ(service.state(), NameService::State::Registering);
    service.on_packet(Request(kOpQuery, "HOSTA"), lan, 0x0a4d0009, 5000, now);
    RunUntil(now + 400);
    ASSERT_EQ(service.state(), NameService::State::Registered);
    ASSERT_EQ(net.sent.size(), 6u); // 3 x (name, group); no answer while registering
    for (const Sent &s : net.sent) {
        EXPECT_EQ(s.to, lan.broadcast);
        EXPECT_EQ(s.packet.opcode, kOpRegistration);
        EXPECT_EQ(s.packet.record.address, lan.address);
        EXPECT_EQ(s.packet.record.nb_flags, s.packet.question == Name("WORKGROUP") ? kNbGroup : 0);
    }

    net.sent.clear();
    service.on_packet(Request(kOpQuery, "hosta"), lan, 0x0a4d0009, 5000, now);
    service.on_packet(Request(kOpQuery, "WORKGROUP"), lan, 0x0a4d0009, 5001, now);
    service.on_packet(Request(kOpQuery, "OTHER"), lan, 0x0a4d0009, 5002, now);
    ASSERT_EQ(net.sent.size(), 2u);
    EXPECT_EQ(net.sent[0].to, 0x0a4d0009u);
    EXPECT_EQ(net.sent[0].port, 5000);
    EXPECT_TRUE(net.sent[0].packet.response && net.sent[0].packet.authoritative);
    EXPECT_EQ(net.sent[0].packet.id, 99);
    EXPECT_EQ(net.sent[0].packet.record.address, lan.address);
    EXPECT_EQ(net.sent[0].packet.record.nb_flags, 0);
    EXPECT_EQ(net.sent[1].packet.record.nb_flags, kNbGroup);

    net.sent.clear();
    service.release();
    ASSERT_EQ(net.sent.size(), 2u);
    EXPECT_EQ(net.sent[0].packet.opcode, kOpRelease);
}

TEST_F(NameServiceTest, DefendsItsUniqueNameButNotTheGroup)
{
    Register();
    service.on_packet(Request(kOpRegistration, "HOSTA"), lan, 0x0a4d0002, 137, now);
    service.on_packet(Request(kOpRefresh, "HOSTA"), lan, 0x0a4d0002, 137, now);
    service.on_packet(Request(kOpRegistration, "WORKGROUP"), lan, 0x0a4d0002, 137, now);
    ASSERT_EQ(net.sent.size(), 2u);
    for (const Sent &s : net.sent) {
        EXPECT_EQ(s.to, 0x0a4d0002u);
        EXPECT_TRUE(s.packet.response);
        EXPECT_EQ(s.packet.opcode, kOpRegistration);
        EXPECT_EQ(s.packet.rcode, kRcodeActive);
        EXPECT_EQ(s.packet.record.address, lan.address);
    }
}

TEST_F(NameServiceTest, ANegativeResponseWhileRegisteringIsAConflict)
{
    service.start(now);
    NamePacket refusal;
    refusal.response = true;
    refusal.opcode = kOpRegistration;
    refusal.rcode = kRcodeActive;
    refusal.has_record = true;
    refusal.record.name = Name("HOSTA");
    refusal.record.address = 0x0a4d0007;
    service.on_packet(refusal, lan, 0x0a4d0007, 137, now);
    EXPECT_EQ(service.state(), NameService::State::Conflict);
    EXPECT_EQ(service.conflict_owner(), 0x0a4d0007u);
    RunUntil(now + 2000);
    EXPECT_EQ(service.state(), NameService::State::Conflict);
    net.sent.clear();
    service.release(); // not ours: nothing to release
    EXPECT_TRUE(net.sent.empty());
}

TEST_F(NameServiceTest, ResolvesByBroadcastCachesAndTimesOut)
{
    Register();
    int answers = 0;
    Resolved got;
    auto done = [&](bool found, const Resolved &where) {
        answers += found ? 1 : 100;
        got = where;
    };
    service.resolve(Name("HOSTB"), now, done);
    service.resolve(Name("hostb"), now, done); // joins the same query
    ASSERT_EQ(net.sent.size(), 1u);
    NamePacket answer;
    answer.id = net.sent[0].packet.id;
    answer.response = answer.authoritative = true;
    answer.has_record = true;
    answer.record.name = Name("HOSTB");
    answer.record.address = 0x0a4d0002;
    NamePacket stale = answer;
    stale.id = uint16_t(answer.id + 1); // not our query's id
    service.on_packet(stale, lan, 0x0a4d0002, 137, now);
    EXPECT_EQ(answers, 0);
    service.on_packet(answer, lan, 0x0a4d0002, 137, now);
    EXPECT_EQ(answers, 2);
    EXPECT_EQ(got.address, 0x0a4d0002u);
    EXPECT_EQ(got.interface_index, lan.index);

    net.sent.clear();
    service.resolve(Name("HOSTB"), now + 1000, done); // from the cache
    EXPECT_EQ(answers, 3);
    EXPECT_TRUE(net.sent.empty());
    service.on_packet(Request(kOpRelease, "HOSTB"), lan, 0x0a4d0002, 137, now);
    service.resolve(Name("HOSTB"), now, done); // released: asked again
    EXPECT_EQ(net.sent.size(), 1u);

    answers = 0;
    net.sent.clear();
    service.resolve(Name("NOBODY"), now, done);
    RunUntil(now + 700);
    EXPECT_EQ(answers, 0);
    RunUntil(now + 100);
    EXPECT_EQ(answers, 200); // HOSTB's repeated query and NOBODY's both ran out
    EXPECT_EQ(net.sent.size(), 5u); // 3 tries for NOBODY, 2 more for HOSTB
}
