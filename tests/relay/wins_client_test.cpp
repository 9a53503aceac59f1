// The WINS client's logic, driven by hand with a transport that records
// what it sends: registration by unicast, refresh at half the granted TTL,
// release, queries, and the answers it must not believe (wrong server, id
// or name, negative, WACK, addresses no host has).
#include <gtest/gtest.h>

#include <vector>

#include "name_recorder.h"
#include "wins_client.h"

using namespace relay;

namespace {

constexpr uint32_t kServer = 0x0a4d0101; // behind a router
constexpr uint32_t kForger = 0x0a4d0007;

class WinsClientTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (const Sent &s : net.sent)
            EXPECT_EQ(s.port, kNamePort); // the server's name port, never another
    }

    static std::vector<OwnName> Names()
    {
        OwnName host, group;
        host.name = Name("HOSTA");
        group.name = Name("WORKGROUP");
        group.group = true;
        return {host, group};
    }

    void RunUntil(Millis until)
    {
        while (wins.next_deadline() >= 0 && wins.next_deadline() <= until) {
            now = wins.next_deadline();
            wins.tick(now);
        }
        now = until;
        wins.tick(now);
    }

    // The server's response to `request` (rcode, opcode and TTL as given).
    static NamePacket Response(const NamePacket &request, uint8_t rcode, uint32_t ttl,
                               uint8_t opcode = kOpRegistration)
    {
        NamePacket p;
        p.id = request.id;
        p.response = p.authoritative = true;
        p.opcode = opcode;
        p.rcode = rcode;
        p.has_record = true;
        p.record = request.record;
        p.record.name = request.question;
        p.record.ttl = ttl;
        return p;
    }

    const NamePacket *Last(uint8_t opcode, const char *name)
    {
        for (auto it = net.sent.rbegin(); it != net.sent.rend(); ++it)
            if (it->packet.opcode == opcode && it->packet.question == Name(name))
                return &it->packet;
        return nullptr;
    }

    Interface lan = Lan();
    Recorder net;
    WinsClient wins{kServer, lan, Names(), &net, 500};
    Millis now = 1000;
};

} // namespace

TEST_F(WinsClientTest, RegistersByUnicastRefreshesAtHalfTheTtlAndReleasesOnlyWhatItHolds)
{
    wins.start(now);
    ASSERT_EQ(net.sent.size(), 2u);
    for (const Sent &s : net.sent) {
        EXPECT_EQ(s.to, kServer);
        EXPECT_FALSE(s.packet.broadcast);
        EXPECT_TRUE(s.packet.recursion_desired);
        EXPECT_EQ(s.packet.opcode, kOpRegistration);
        EXPECT_EQ(s.packet.record.address, lan.address);
        EXPECT_EQ(s.packet.record.nb_flags & WinsClient::kHybridNode, WinsClient::kHybridNode);
    }
    EXPECT_NE(net.sent[0].packet.id, net.sent[1].packet.id);
    EXPECT_TRUE(net.sent[1].packet.record.nb_flags & kNbGroup);

    NamePacket host = net.sent[0].packet;
    EXPECT_TRUE(wins.on_packet(Response(host, kRcodeOk, 600), kServer, kNamePort, now));
    EXPECT_TRUE(wins.registered(Name("hosta")));
    // Silence for the group: three tries, then a note, and again a minute on.
    std::vector<std::string> notes;
    wins.set_note([&](const std::string &line) { notes.push_back(line); });
    RunUntil(now + 3 * WinsClient::kRetryInterval);
    EXPECT_FALSE(wins.registered(Name("WORKGROUP")));
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("does not answer"), std::string::npos);
    size_t before = net.sent.size();
    RunUntil(now + WinsClient::kRetryLater);
    EXPECT_EQ(net.sent.size(), before + 1);
    RunUntil(now + WinsClient::kRetryLater); // silent again: said once only
    EXPECT_EQ(notes.size(), 1u);

    // The host name is refreshed at 300 s of its 600, by a request of its own.
    net.sent.clear();
    RunUntil(1000 + 300 * 1000 - 1);
    EXPECT_EQ(Last(kOpRefresh, "HOSTA"), nullptr);
    RunUntil(1000 + 300 * 1000);
    const NamePacket *refresh = Last(kOpRefresh, "HOSTA");
    ASSERT_NE(refresh, nullptr);
    EXPECT_NE(refresh->id, host.id);
    // A refused refresh registers the name again.
    EXPECT_TRUE(wins.on_packet(Response(*refresh, 3, 0), kServer, kNamePort, now));
    EXPECT_NE(Last(kOpRegistration, "HOSTA"), nullptr);
    EXPECT_TRUE(wins.on_packet(Response(*Last(kOpRegistration, "HOSTA"), kRcodeOk, 600), kServer,
                               kNamePort, now));

    net.sent.clear();
    wins.release();
    ASSERT_EQ(net.sent.size(), 1u); // the group was never granted
    EXPECT_EQ(net.sent[0].packet.opcode, kOpRelease);
    EXPECT_EQ(net.sent[0].packet.question, Name("HOSTA"));
    EXPECT_EQ(net.sent[0].to, kServer);
}

TEST_F(WinsClientTest, BelievesOnlyItsServerWithTheRightIdAndNameAndBoundsWhatItIsTold)
{
    wins.start(now);
    NamePacket host = net.sent[0].packet;
    NamePacket grant = Response(host, kRcodeOk, 600);
    EXPECT_FALSE(wins.on_packet(grant, kForger, kNamePort, now));
    EXPECT_FALSE(wins.on_packet(grant, kServer, 5000, now));
    NamePacket wrong_id = grant;
    wrong_id.id = uint16_t(host.id + 7);
    EXPECT_FALSE(wins.on_packet(wrong_id, kServer, kNamePort, now));
    NamePacket wrong_name = grant;
    wrong_name.record.name = Name("WORKGROUP");
    EXPECT_FALSE(wins.on_packet(wrong_name, kServer, kNamePort, now));
    EXPECT_FALSE(wins.registered(Name("HOSTA")));

    // A WACK holds the request for as long as it says, at most a minute,
    // with no repeat meanwhile.
    EXPECT_TRUE(wins.on_packet(Response(host, kRcodeOk, 100000, kOpWack), kServer, kNamePort, now));
    size_t before = net.sent.size();
    RunUntil(now + WinsClient::kWackMax - 1);
    EXPECT_EQ(Last(kOpRegistration, "HOSTA")->id, host.id);
    EXPECT_EQ(net.sent.size(), before + 2); // only the group's two repeats
    // A grant with a TTL of 0 is refreshed a half-minimum later, not at once.
    EXPECT_TRUE(wins.on_packet(Response(host, kRcodeOk, 0), kServer, kNamePort, now));
    EXPECT_TRUE(wins.registered(Name("HOSTA")));
    EXPECT_FALSE(wins.on_packet(grant, kServer, kNamePort, now)); // a repeat changes nothing
    Millis granted = now;
    RunUntil(granted + WinsClient::kTtlMinSeconds * 1000 / 2 - 1);
    EXPECT_EQ(Last(kOpRefresh, "HOSTA"), nullptr);
    RunUntil(granted + WinsClient::kTtlMinSeconds * 1000 / 2);
    EXPECT_NE(Last(kOpRefresh, "HOSTA"), nullptr);
    // The group's request was given up: a late refusal of it is nobody's.
    EXPECT_FALSE(wins.on_packet(Response(net.sent[1].packet, kRcodeActive, 0), kServer,
                                kNamePort, now));
}

TEST_F(WinsClientTest, ARefusalIsReportedAndTheNameIsNotAskedForAgain)
{
    std::vector<std::string> notes;
    wins.set_note([&](const std::string &line) { notes.push_back(line); });
    wins.start(now);
    NamePacket host = net.sent[0].packet;
    EXPECT_TRUE(wins.on_packet(Response(host, kRcodeActive, 0), kServer, kNamePort, now));
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("refuses HOSTA<00> (held by another node)"), std::string::npos);
    EXPECT_FALSE(wins.registered(Name("HOSTA")));
    net.sent.clear();
    RunUntil(now + 10 * 60 * 1000);
    EXPECT_EQ(Last(kOpRegistration, "HOSTA"), nullptr);
}

TEST_F(WinsClientTest, QueriesTheServerAndTellsFoundFromNotFoundFromSilence)
{
    struct Outcome {
        int calls = 0;
        WinsClient::Answer answer = WinsClient::Answer::Silent;
        Resolved where;
    };
    auto ask = [&](const char *name, Outcome *o) {
        wins.resolve(Name(name), now, [o](WinsClient::Answer a, const Resolved &w) {
            ++o->calls;
            o->answer = a;
            o->where = w;
        });
        return Last(kOpQuery, name);
    };
    Outcome b, b2, c, d, e, f;
    NamePacket query_b = *ask("HOSTB", &b);
    ask("hostb", &b2); // one query serves both
    EXPECT_EQ(net.sent.size(), 1u);
    EXPECT_EQ(net.sent[0].to, kServer);
    EXPECT_FALSE(query_b.broadcast);
    EXPECT_TRUE(query_b.recursion_desired);

    auto answer = [&](const NamePacket &q, uint8_t rcode, uint32_t address, uint16_t flags = 0) {
        NamePacket p;
        p.id = q.id;
        p.response = p.authoritative = true;
        p.rcode = rcode;
        p.has_record = rcode == kRcodeOk;
        p.has_question = !p.has_record;
        p.question = p.record.name = q.question;
        p.record.address = address;
        p.record.nb_flags = flags;
        return p;
    };
    NamePacket forged = answer(query_b, kRcodeOk, kForger);
    EXPECT_FALSE(wins.on_packet(forged, kForger, kNamePort, now));
    forged.id++;
    EXPECT_FALSE(wins.on_packet(forged, kServer, kNamePort, now));
    EXPECT_EQ(b.calls, 0);
    EXPECT_TRUE(wins.on_packet(answer(query_b, kRcodeOk, 0x0a4d0102), kServer, kNamePort, now));
    EXPECT_EQ(b.calls, 1);
    EXPECT_EQ(b2.calls, 1);
    EXPECT_EQ(b.answer, WinsClient::Answer::Found);
    EXPECT_EQ(b.where.address, 0x0a4d0102u);
    EXPECT_FALSE(b.where.group);
    EXPECT_FALSE(wins.on_packet(answer(query_b, kRcodeOk, kForger), kServer, kNamePort, now));

    // No such name; a group (255.255.255.255); a unique name at an address
    // no host has; a server failure; silence.
    EXPECT_TRUE(wins.on_packet(answer(*ask("HOSTC", &c), 3, 0), kServer, kNamePort, now));
    EXPECT_EQ(c.answer, WinsClient::Answer::NotFound);
    EXPECT_TRUE(wins.on_packet(answer(*ask("GROUP", &d), kRcodeOk, 0xffffffff, kNbGroup), kServer,
                               kNamePort, now));
    EXPECT_EQ(d.answer, WinsClient::Answer::Found);
    EXPECT_TRUE(d.where.group);
    EXPECT_TRUE(wins.on_packet(answer(*ask("HOSTD", &e), kRcodeOk, 0xffffffff), kServer,
                               kNamePort, now));
    EXPECT_EQ(e.answer, WinsClient::Answer::Silent);
    EXPECT_TRUE(wins.on_packet(answer(*ask("HOSTE", &f), 2, 0), kServer, kNamePort, now));
    EXPECT_EQ(f.answer, WinsClient::Answer::Silent);

    Outcome g;
    ask("HOSTG", &g);
    size_t before = net.sent.size();
    RunUntil(now + WinsClient::kTries * WinsClient::kRetryInterval - 1);
    EXPECT_EQ(net.sent.size(), before + WinsClient::kTries - 1);
    EXPECT_EQ(g.calls, 0);
    RunUntil(now + 1);
    EXPECT_EQ(g.calls, 1);
    EXPECT_EQ(g.answer, WinsClient::Answer::Silent);
}
