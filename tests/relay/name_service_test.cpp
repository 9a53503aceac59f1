// The name service's logic, driven by hand with a transport that records
// what it sends: registration timing, answers, node status, defence,
// refusals and forgeries, the resolver, its cache and answers that disagree.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <vector>

#include "name_recorder.h"

using namespace relay;

namespace {

class NameServiceTest : public ::testing::Test {
protected:

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
        net.raw.clear();
    }

    NamePacket Request(uint8_t opcode, const char *name, uint8_t suffix = 0, bool group = false)
    {
        NamePacket p;
        p.id = 99;
        p.opcode = opcode;
        p.broadcast = true;
        p.has_question = true;
        p.question = Name(name, suffix);
        if (opcode != kOpQuery) {
            p.has_record = true;
            p.record.name = p.question;
            p.record.nb_flags = group ? kNbGroup : 0;
            p.record.address = 0x0a4d0002;
        }
        return p;
    }

    // A negative registration response for `name`, with `address` in its RDATA.
    static NamePacket Refusal(uint16_t id, const char *name, uint32_t address)
    {
        NamePacket refusal;
        refusal.id = id;
        refusal.response = true;
        refusal.opcode = kOpRegistration;
        refusal.rcode = kRcodeActive;
        refusal.has_record = true;
        refusal.record.name = Name(name);
        refusal.record.address = address;
        return refusal;
    }

    static NamePacket Answer(uint16_t id, const char *name, uint32_t address)
    {
        NamePacket answer;
        answer.id = id;
        answer.response = answer.authoritative = true;
        answer.has_record = true;
        answer.record.name = Name(name);
        answer.record.address = address;
        return answer;
    }

    Interface lan = Lan();
    Recorder net;
    NameService service{Name("HOSTA"), Name("WORKGROUP"), {lan}, &net, 100};
    Millis now = 1000;
};

} // namespace

TEST_F(NameServiceTest, RegistersEachNameWithItsOwnIdThenAnswersForThemAndHoldsNoOther)
{
    service.start(now);
    RunUntil(now + 600);
    EXPECT_EQ(service.state(), NameService::State::Registering);
    EXPECT_FALSE(service.holds(Name("HOSTA")));
    service.on_packet(Request(kOpQuery, "HOSTA"), lan, 0x0a4d0009, 5000, now);
    RunUntil(now + 400);
    ASSERT_EQ(service.state(), NameService::State::Registered);
    // 3 tries of NAME<00>, GROUP<00> and GROUP<1E>; no answer while registering.
    ASSERT_EQ(net.sent.size(), 9u);
    std::map<NetbiosName, std::set<uint16_t>> ids;
    for (const Sent &s : net.sent) {
        EXPECT_EQ(s.to, lan.broadcast);
        EXPECT_EQ(s.packet.opcode, kOpRegistration);
        EXPECT_EQ(s.packet.record.address, lan.address);
        EXPECT_EQ(s.packet.record.nb_flags, s.packet.question == Name("HOSTA") ? 0 : kNbGroup);
        ids[s.packet.question].insert(s.packet.id);
    }
    ASSERT_EQ(ids.size(), 3u);
    std::set<uint16_t> all;
    for (const auto &name : ids) {
        EXPECT_EQ(name.second.size(), 1u) << name.first.describe(); // retries keep their id
        all.insert(*name.second.begin());
    }
    EXPECT_EQ(all.size(), 3u); // and no two names share one
    EXPECT_TRUE(ids.count(Name("WORKGROUP", 0x1e)));

    for (const NetbiosName &held : {Name("hosta"), Name("WORKGROUP"), Name("workgroup", 0x1e)})
        EXPECT_TRUE(service.holds(held)) << held.describe();
    for (const NetbiosName &other : {Name("HOSTA", 0x20), Name("WORKGROUP", 0x1d),
                                     Name("WORKGROUP", 0x1b), Name("HOSTB")})
        EXPECT_FALSE(service.holds(other)) << other.describe();

    net.sent.clear();
    EXPECT_TRUE(service.on_packet(Request(kOpQuery, "hosta"), lan, 0x0a4d0009, 5000, now));
    EXPECT_TRUE(service.on_packet(Request(kOpQuery, "WORKGROUP"), lan, 0x0a4d0009, 5001, now));
    EXPECT_FALSE(service.on_packet(Request(kOpQuery, "OTHER"), lan, 0x0a4d0009, 5002, now));
    EXPECT_FALSE(service.on_packet(Request(kOpQuery, "WORKGROUP", 0x1d), lan, 0x0a4d0009, 5002, now));
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
    ASSERT_EQ(net.sent.size(), 3u);
    for (const Sent &s : net.sent)
        EXPECT_EQ(s.packet.opcode, kOpRelease);
    EXPECT_NE(net.sent[0].packet.id, net.sent[1].packet.id);
    EXPECT_FALSE(service.holds(Name("HOSTA")));
}

TEST_F(NameServiceTest, NodeStatusListsTheNamesHeldWithTheirGroupFlags)
{
    NamePacket status = Request(kOpQuery, "HOSTA");
    status.question = any_name();
    status.question_type = kTypeNbstat;
    service.start(now);
    EXPECT_FALSE(service.on_packet(status, lan, 0x0a4d0009, 40000, now)); // nothing held yet
    Register();
    EXPECT_TRUE(service.on_packet(status, lan, 0x0a4d0009, 40000, now));
    NamePacket other = status;
    other.question = Name("HOSTB");
    EXPECT_FALSE(service.on_packet(other, lan, 0x0a4d0009, 40000, now));
    ASSERT_EQ(net.raw.size(), 1u);
    EXPECT_EQ(net.sent[0].to, 0x0a4d0009u);
    EXPECT_EQ(net.sent[0].port, 40000);
    NodeStatus got;
    ASSERT_EQ(parse_node_status(net.raw[0].data(), net.raw[0].size(), &got), Parse::Ok);
    EXPECT_EQ(got.id, 99);
    EXPECT_EQ(got.question, any_name());
    std::vector<NodeStatusEntry> expected = {{Name("HOSTA"), kNameActive},
                                             {Name("WORKGROUP"), kNameActive | kNbGroup},
                                             {Name("WORKGROUP", 0x1e), kNameActive | kNbGroup}};
    EXPECT_EQ(got.names, expected);
}

TEST_F(NameServiceTest, DefendsItsUniqueNameAndItsGroupsAgainstUniqueClaimsOnly)
{
    Register();
    const uint32_t requester = 0x0a4d0002;
    EXPECT_TRUE(service.on_packet(Request(kOpRegistration, "HOSTA"), lan, requester, 137, now));
    EXPECT_TRUE(service.on_packet(Request(kOpRefresh, "HOSTA"), lan, requester, 137, now));
    EXPECT_TRUE(service.on_packet(Request(kOpRegistration, "WORKGROUP"), lan, requester, 137, now));
    EXPECT_TRUE(service.on_packet(Request(kOpRegistration, "WORKGROUP", 0x1e), lan, requester, 137, now));
    // Joining a group, or taking a name we do not hold, is no business of ours.
    EXPECT_FALSE(service.on_packet(Request(kOpRegistration, "WORKGROUP", 0, true), lan, requester, 137, now));
    EXPECT_FALSE(service.on_packet(Request(kOpRegistration, "WORKGROUP", 0x1d), lan, requester, 137, now));
    EXPECT_FALSE(service.on_packet(Request(kOpRegistration, "HOSTA", 0x20), lan, requester, 137, now));
    ASSERT_EQ(net.sent.size(), 4u);
    for (const Sent &s : net.sent) {
        EXPECT_EQ(s.to, requester);
        EXPECT_TRUE(s.packet.response);
        EXPECT_EQ(s.packet.opcode, kOpRegistration);
        EXPECT_EQ(s.packet.rcode, kRcodeActive);
        EXPECT_EQ(s.packet.record.address, requester); // the refused registration's own
    }

    // A conflict demand, or another node releasing our names, changes nothing.
    net.sent.clear();
    NamePacket demand = Refusal(99, "HOSTA", lan.address);
    demand.rcode = 7;
    EXPECT_FALSE(service.on_packet(demand, lan, requester, 137, now));
    EXPECT_FALSE(service.on_packet(Request(kOpRelease, "HOSTA"), lan, requester, 137, now));
    EXPECT_EQ(service.state(), NameService::State::Registered);
    EXPECT_TRUE(service.holds(Name("HOSTA")));
    EXPECT_TRUE(net.sent.empty());
}

TEST_F(NameServiceTest, OnlyARefusalOfARequestOutstandingCountsAndItNamesItsSender)
{
    service.start(now);
    std::map<NetbiosName, uint16_t> id;
    for (const Sent &s : net.sent)
        id[s.packet.question] = s.packet.id;
    const uint16_t name_id = id[Name("HOSTA")];
    const uint32_t forger = 0x0a4d0066, owner = 0x0a4d0007;
    // Forged: an id we never used, the group's id with our name, our id with
    // another name, and a positive "refusal".
    for (NamePacket forged : {Refusal(uint16_t(name_id + 100), "HOSTA", 0x0a0a0a0a),
                              Refusal(id[Name("WORKGROUP")], "HOSTA", 0x0a0a0a0a),
                              Refusal(name_id, "HOSTB", 0x0a0a0a0a)}) {
        EXPECT_FALSE(service.on_packet(forged, lan, forger, 137, now));
        forged.rcode = kRcodeOk;
        EXPECT_FALSE(service.on_packet(forged, lan, forger, 137, now));
    }
    EXPECT_EQ(service.state(), NameService::State::Registering);

    // The real one: RDATA carries our own address, the sender is the owner.
    EXPECT_TRUE(service.on_packet(Refusal(name_id, "hosta", lan.address), lan, owner, 137, now));
    EXPECT_EQ(service.state(), NameService::State::Conflict);
    ASSERT_NE(service.refused(), nullptr);
    EXPECT_EQ(service.refused()->name, Name("HOSTA"));
    EXPECT_EQ(service.refused()->defender, owner);
    RunUntil(now + 2000);
    EXPECT_EQ(service.state(), NameService::State::Conflict);
    net.sent.clear();
    service.release(); // nothing held: nothing to release
    EXPECT_TRUE(net.sent.empty());
}

TEST_F(NameServiceTest, TwoAddressesAnsweringForOneUniqueNameAreBelievedNeither)
{
    Register();
    std::vector<std::string> notes;
    service.set_note([&](const std::string &line) { notes.push_back(line); });
    int found = 0, lost = 0;
    auto done = [&](bool ok, const Resolved &) { ok ? ++found : ++lost; };
    service.resolve(Name("HOSTB"), now, done);
    const uint16_t id = net.sent.at(0).packet.id;
    EXPECT_TRUE(service.on_packet(Answer(id, "HOSTB", 0x0a4d0063), lan, 0x0a4d0063, 137, now));
    EXPECT_TRUE(service.on_packet(Answer(id, "HOSTB", 0x0a4d0002), lan, 0x0a4d0002, 137, now + 1));
    RunUntil(now + NameService::kAnswerWindow + 10);
    EXPECT_EQ(found, 0);
    EXPECT_EQ(lost, 1);
    EXPECT_EQ(notes, std::vector<std::string>{"conflicting answers for HOSTB<00>: 10.77.0.99 and "
                                              "10.77.0.2; neither is used"});
    net.sent.clear();
    service.resolve(Name("HOSTB"), now, done); // nothing cached: asked again
    ASSERT_EQ(net.sent.size(), 1u);

    // One address twice (two interfaces, a repeat) and a group's members agree.
    const uint16_t again = net.sent[0].packet.id;
    service.on_packet(Answer(again, "HOSTB", 0x0a4d0002), lan, 0x0a4d0002, 137, now);
    service.on_packet(Answer(again, "HOSTB", 0x0a4d0002), lan, 0x0a4d0002, 137, now);
    NamePacket member = Answer(0, "GROUPX", 0x0a4d0002);
    member.record.nb_flags = kNbGroup;
    service.resolve(Name("GROUPX"), now, done);
    member.id = net.sent.back().packet.id;
    service.on_packet(member, lan, 0x0a4d0002, 137, now);
    member.record.address = 0x0a4d0003;
    service.on_packet(member, lan, 0x0a4d0003, 137, now);
    RunUntil(now + NameService::kAnswerWindow + 10);
    EXPECT_EQ(found, 2);
    EXPECT_EQ(notes.size(), 1u);
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
    RunUntil(now + NameService::kAnswerWindow);
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
