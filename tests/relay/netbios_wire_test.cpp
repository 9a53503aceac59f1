// Names, name-service packets, mailslot datagrams and hand-off requests
// against hand-made bytes.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "datagram_packet.h"
#include "handoff.h"
#include "name_packet.h"
#include "netbios_name.h"

using namespace relay;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string &hex)
{
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        if (hex[i] == ' ') {
            --i;
            continue;
        }
        out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

Bytes Encoded(const NetbiosName &name)
{
    Bytes out;
    Writer w(&out);
    encode_name(name, &w);
    return out;
}

NetbiosName Name(const std::string &text, uint8_t suffix = 0)
{
    NetbiosName name;
    EXPECT_TRUE(make_name(text, suffix, &name)) << text;
    return name;
}

MailslotDatagram Reply(const std::string &slot, const Bytes &data)
{
    MailslotDatagram d;
    d.type = kDirectGroup;
    d.id = 0x1234;
    d.source_ip = 0x0a4d0001;
    d.source = Name("HOSTA");
    d.destination = Name("WORKGROUP");
    d.slot = slot;
    d.data = data;
    return d;
}

} // namespace

TEST(NetbiosName, EncodesAsTheWireFactsShowAndBack)
{
    Bytes a = Encoded(Name("a"));
    ASSERT_EQ(a.size(), kEncodedNameBytes);
    EXPECT_EQ(Bytes(a.begin(), a.begin() + 7), Hex("20 45 42 43 41 43 41")); // "EB" then "CA"
    EXPECT_EQ(Bytes(a.end() - 3, a.end()), Hex("41 41 00"));                // suffix 0x00, end

    NetbiosName back;
    Reader in(a.data(), a.size());
    ASSERT_EQ(decode_name(&in, &back), Parse::Ok);
    EXPECT_EQ(back.describe(), "A<00>");
    EXPECT_TRUE(same_name(back, Name("A")));
    EXPECT_TRUE(same_name_any_suffix(Name("HOSTA", 0x20), Name("hosta")));
    EXPECT_FALSE(same_name(Name("HOSTA", 0x20), Name("HOSTA")));
}

TEST(NetbiosName, RefusesWhatIsNoName)
{
    NetbiosName n;
    EXPECT_FALSE(make_name("", 0, &n));
    EXPECT_FALSE(make_name("SIXTEENCHARSLONG", 0, &n));
    EXPECT_TRUE(make_name("FIFTEENCHARSLON", 0, &n));
    for (const char *bad : {"a.b", "a*", "a\\b", " lead", "tab\t"})
        EXPECT_FALSE(make_name(bad, 0, &n)) << bad;

    Bytes good = Encoded(Name("HOST"));
    auto decodes = [](Bytes bytes) {
        NetbiosName out;
        Reader in(bytes.data(), bytes.size());
        return decode_name(&in, &out);
    };
    Bytes scope = good;
    scope[33] = 0x03; // a scope label follows the 32 letters, not the end
    Bytes letter = good;
    letter[5] = 'Q';
    Bytes pointer = Hex("c0 0c");
    Bytes shortened(good.begin(), good.end() - 1);
    for (const Bytes &bad : {scope, letter, pointer, shortened})
        EXPECT_EQ(decodes(bad), Parse::Malformed);
}

TEST(NamePacket, RegistrationRoundTripsAndCompressedNamesAreRead)
{
    NamePacket reg;
    reg.id = 0x4242;
    reg.opcode = kOpRegistration;
    reg.recursion_desired = reg.broadcast = true;
    reg.has_question = reg.has_record = true;
    reg.question = reg.record.name = Name("HOSTA");
    reg.record.ttl = 300000;
    reg.record.address = 0x0a4d0001;
    Bytes bytes = build_name_packet(reg);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 12), Hex("4242 2910 0001 0000 0000 0001"));
    NamePacket back;
    ASSERT_EQ(parse_name_packet(bytes.data(), bytes.size(), &back), Parse::Ok);
    EXPECT_EQ(back, reg);

    // The additional record's name as a pointer to the question (offset 12).
    Bytes compressed(bytes.begin(), bytes.begin() + 12 + 38);
    Bytes tail = Hex("c00c 0020 0001 000493e0 0006 0000 0a4d0001");
    compressed.insert(compressed.end(), tail.begin(), tail.end());
    ASSERT_EQ(parse_name_packet(compressed.data(), compressed.size(), &back), Parse::Ok);
    EXPECT_EQ(back, reg);

    // A pointer forward, into the header, or at itself is malformed.
    for (const char *target : {"c040", "c000", "c032"}) {
        Bytes bad = compressed;
        Bytes p = Hex(target);
        bad[50] = p[0];
        bad[51] = p[1];
        EXPECT_EQ(parse_name_packet(bad.data(), bad.size(), &back), Parse::Malformed) << target;
    }
}

TEST(NamePacket, CountsAndLengthsPastThePacketAreMalformed)
{
    NamePacket query;
    query.id = 7;
    query.broadcast = query.recursion_desired = query.has_question = true;
    query.question = Name("HOSTB");
    Bytes bytes = build_name_packet(query);
    NamePacket back;
    for (size_t cut = 0; cut < bytes.size(); ++cut)
        EXPECT_EQ(parse_name_packet(bytes.data(), cut, &back), Parse::Malformed) << cut;

    Bytes extra = bytes;
    extra[7] = 1; // ANCOUNT 1, no answer there
    EXPECT_EQ(parse_name_packet(extra.data(), extra.size(), &back), Parse::Malformed);
    Bytes two = bytes;
    two[5] = 2; // QDCOUNT 2
    EXPECT_EQ(parse_name_packet(two.data(), two.size(), &back), Parse::Malformed);
    Bytes opcode = bytes;
    opcode[2] = 0x18; // opcode 3: not a NetBIOS operation
    EXPECT_EQ(parse_name_packet(opcode.data(), opcode.size(), &back), Parse::Unsupported);
}

// A WACK's record holds two bytes of RDATA (the request's flags), which
// only a WACK may have.
TEST(NamePacket, AWackCarriesItsTtlInTwoBytesOfDataWhereNoAnswerMay)
{
    NamePacket wack;
    wack.id = 9;
    wack.response = wack.authoritative = true;
    wack.opcode = kOpWack;
    wack.has_record = true;
    wack.record.name = Name("HOSTA");
    wack.record.ttl = 15;
    wack.record.nb_flags = 0x2900;
    Bytes bytes = build_name_packet(wack);
    bytes.erase(bytes.end() - 4, bytes.end()); // the address goes
    bytes[bytes.size() - 3] = 2;               // RDLENGTH 2
    NamePacket back;
    ASSERT_EQ(parse_name_packet(bytes.data(), bytes.size(), &back), Parse::Ok);
    EXPECT_EQ(back, wack);
    bytes[2] = uint8_t(bytes[2] & ~0x78); // the same as a query answer
    EXPECT_EQ(parse_name_packet(bytes.data(), bytes.size(), &back), Parse::Malformed);
}

TEST(NodeStatus, LaidOutAsOnTheWireAndCountsPastThePacketAreMalformed)
{
    NodeStatus status;
    status.id = 0x0102;
    status.question = any_name();
    status.names = {{Name("HOSTA"), kNameActive}, {Name("WORKGROUP", 0x1e), kNameActive | kNbGroup}};
    Bytes bytes = build_node_status(status);
    // Header, "*" encoded, NBSTAT IN, TTL 0, RDLENGTH 1 + 2 * 18 + 46.
    ASSERT_EQ(bytes.size(), 12u + 34 + 10 + 83);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 15), Hex("0102 8400 0000 0001 0000 0000 20 434b"));
    EXPECT_EQ(Bytes(bytes.begin() + 46, bytes.begin() + 57), Hex("0021 0001 00000000 0053 02"));
    EXPECT_EQ(Bytes(bytes.begin() + 57 + 16, bytes.begin() + 57 + 18), Hex("0400"));
    EXPECT_EQ(bytes[57 + 18 + 15], 0x1e);
    EXPECT_EQ(Bytes(bytes.begin() + 57 + 34, bytes.begin() + 57 + 36), Hex("8400"));
    NodeStatus back;
    ASSERT_EQ(parse_node_status(bytes.data(), bytes.size(), &back), Parse::Ok);
    EXPECT_EQ(back, status);

    for (size_t cut = 0; cut < bytes.size(); ++cut)
        EXPECT_EQ(parse_node_status(bytes.data(), cut, &back), Parse::Malformed) << cut;
    Bytes more = bytes;
    more[56] = 3; // three names in the room of two
    EXPECT_EQ(parse_node_status(more.data(), more.size(), &back), Parse::Malformed);
    NamePacket query;
    query.has_question = true;
    query.question = any_name();
    query.question_type = kTypeNbstat;
    Bytes asked = build_name_packet(query); // a query, not a status
    EXPECT_EQ(parse_node_status(asked.data(), asked.size(), &back), Parse::Unsupported);
}

TEST(MailslotDatagram, TheWorkedReplyIs174BytesLaidOutAsOnTheWire)
{
    Bytes b = build_mailslot_datagram(Reply("$Channel2$", {'2', 0}));
    ASSERT_EQ(b.size(), 174u);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 14), Hex("11 02 1234 0a4d0001 008a 00a0 0000"));
    const uint8_t *smb = b.data() + 14 + 68;
    EXPECT_EQ(memcmp(smb, "\xffSMB\x25", 5), 0);
    EXPECT_EQ(smb[32], 17); // WordCount
    auto le16 = [&](size_t at) { return smb[at] | smb[at + 1] << 8; };
    EXPECT_EQ(le16(33 + 2), 2);       // TotalDataCount
    EXPECT_EQ(le16(33 + 20), 90);     // ParameterOffset
    EXPECT_EQ(le16(33 + 22), 2);      // DataCount
    EXPECT_EQ(le16(33 + 24), 90);     // DataOffset: 32 + 1 + 34 + 2 + 21
    EXPECT_EQ(smb[33 + 26], 3);       // SetupCount
    EXPECT_EQ(le16(33 + 28), 1);      // write mailslot
    EXPECT_EQ(le16(33 + 30), 1);      // priority
    EXPECT_EQ(le16(33 + 32), 2);      // class: unreliable, broadcast
    EXPECT_EQ(le16(33 + 34), 21 + 2); // ByteCount
    EXPECT_EQ(memcmp(smb + 69, "\\MAILSLOT\\$Channel2$", 21), 0);
    EXPECT_EQ(smb[90], '2');

    MailslotDatagram back;
    ASSERT_EQ(parse_mailslot_datagram(b.data(), b.size(), &back), Parse::Ok);
    EXPECT_EQ(back, Reply("$Channel2$", {'2', 0}));
}

TEST(MailslotDatagram, BrokenOrForeignDatagramsAreRefused)
{
    Bytes good = build_mailslot_datagram(Reply("box", {'h', 'i'}));
    MailslotDatagram d;
    for (size_t cut = 0; cut < good.size(); ++cut)
        EXPECT_NE(parse_mailslot_datagram(good.data(), cut, &d), Parse::Ok) << cut;

    auto with = [&](size_t at, uint8_t value) {
        Bytes b = good;
        b[at] = value;
        return parse_mailslot_datagram(b.data(), b.size(), &d);
    };
    const size_t smb = 14 + 68;
    EXPECT_EQ(with(1, 0x03), Parse::Fragment);              // MORE: a fragment
    EXPECT_EQ(with(13, 0x01), Parse::Fragment);             // PACKET_OFFSET 1
    EXPECT_EQ(with(0, 0x14), Parse::Unsupported);           // a query request
    EXPECT_EQ(with(10, 0xff), Parse::Malformed);            // DGM_LENGTH past the end
    EXPECT_EQ(with(smb, 0xfe), Parse::Malformed);           // not SMB
    EXPECT_EQ(with(smb + 4, 0x32), Parse::Unsupported);     // another SMB command
    EXPECT_EQ(with(smb + 32, 18), Parse::Malformed);        // WordCount vs SetupCount
    EXPECT_EQ(with(smb + 33 + 28, 2), Parse::Unsupported);  // not "write mailslot"
    EXPECT_EQ(with(smb + 33 + 2, 9), Parse::Unsupported);   // more data in a next part
    EXPECT_EQ(with(smb + 33 + 24, 60), Parse::Malformed);   // DataOffset inside the name
    EXPECT_EQ(with(smb + 33 + 34, 0xf0), Parse::Malformed); // ByteCount past the end
    EXPECT_EQ(with(smb + 69 + 1, 'P'), Parse::Unsupported); // "\PAILSLOT\": not a mailslot

    Bytes long_data = good; // TotalDataCount and DataCount past the byte area
    long_data[smb + 33 + 2] = long_data[smb + 33 + 22] = 200;
    EXPECT_EQ(parse_mailslot_datagram(long_data.data(), long_data.size(), &d), Parse::Malformed);

    // Bytes after DGM_LENGTH belong to no datagram and are ignored.
    Bytes padded = good;
    padded.push_back(0xee);
    ASSERT_EQ(parse_mailslot_datagram(padded.data(), padded.size(), &d), Parse::Ok);
    EXPECT_EQ(d.data, Bytes({'h', 'i'}));
}

TEST(Handoff, RequestsAreReadAndAnythingElseRefused)
{
    auto parse = [](const std::string &text, HandoffRequest *r) {
        return parse_handoff_request(reinterpret_cast<const uint8_t *>(text.data()), text.size(), r);
    };
    HandoffRequest r;
    ASSERT_TRUE(parse("resolve HOSTA", &r));
    EXPECT_EQ(r.kind, HandoffRequest::Kind::Resolve);
    EXPECT_EQ(r.target, "HOSTA");
    const char with_nul[] = "send unique HOSTA $Channel1$\n/tmp/a b\0x";
    ASSERT_TRUE(parse(std::string(with_nul, sizeof with_nul - 1), &r));
    EXPECT_EQ(r.kind, HandoffRequest::Kind::SendUnique);
    EXPECT_EQ(r.slot, "$Channel1$");
    EXPECT_EQ(r.data, Bytes({'/', 't', 'm', 'p', '/', 'a', ' ', 'b', 0, 'x'}));
    ASSERT_TRUE(parse("send all $Channel2$\n", &r));
    EXPECT_EQ(r.kind, HandoffRequest::Kind::SendAll);
    EXPECT_TRUE(r.data.empty());
    for (const char *bad : {"", "resolve", "resolve A\n", "send unique HOSTA\nx", "send some A B\nx",
                            "send group G slot", "fetch A"})
        EXPECT_FALSE(parse(bad, &r)) << bad;
}

// The layer's writers build their requests and read the replies with the
// same module: what they send is what the relay reads.
TEST(Handoff, WritersBuildWhatTheRelayReads)
{
    HandoffRequest request;
    request.kind = HandoffRequest::Kind::SendGroup;
    request.target = "WORKGROUP";
    request.slot = "$Channel2$";
    EXPECT_EQ(w32::format_handoff_request(request), "send group WORKGROUP $Channel2$\n");
    request.data = Bytes({'4', 0});
    std::string built = w32::format_handoff_request(request);
    HandoffRequest read;
    ASSERT_TRUE(parse_handoff_request(reinterpret_cast<const uint8_t *>(built.data()), built.size(),
                                      &read));
    EXPECT_EQ(read, request);
    EXPECT_EQ(w32::parse_resolve_reply(w32::kHandoffGroup), w32::Resolved::Group);
    EXPECT_EQ(w32::parse_resolve_reply(w32::handoff_machine_reply("10.0.0.1")),
              w32::Resolved::Machine);
    EXPECT_EQ(w32::parse_resolve_reply(w32::kHandoffNoName), w32::Resolved::Nothing);
}
