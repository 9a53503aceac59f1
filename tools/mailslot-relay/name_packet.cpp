#include "name_packet.h"

#include <algorithm>

namespace relay {
namespace {

constexpr size_t kHeaderBytes = 12;
constexpr uint16_t kFlagResponse = 0x8000;
constexpr uint16_t kFlagAuthoritative = 0x0400;
constexpr uint16_t kFlagTruncated = 0x0200;
constexpr uint16_t kFlagRecursionDesired = 0x0100;
constexpr uint16_t kFlagRecursionAvailable = 0x0080;
constexpr uint16_t kFlagBroadcast = 0x0010;
constexpr size_t kNbEntryBytes = 6;
constexpr uint32_t kMaxRecords = 64; // more than any real packet carries
constexpr size_t kNodeNameBytes = 18; // the name's 16 bytes and its flags
constexpr size_t kStatisticsBytes = 46; // the unit id and forty bytes of counts
constexpr size_t kMaxStatusNames = 255;

uint16_t header_flags(const NamePacket &packet)
{
    uint16_t flags = uint16_t((packet.opcode & 0x0f) << 11 | (packet.rcode & 0x0f));
    if (packet.response)
        flags |= kFlagResponse;
    if (packet.authoritative)
        flags |= kFlagAuthoritative;
    if (packet.truncated)
        flags |= kFlagTruncated;
    if (packet.recursion_desired)
        flags |= kFlagRecursionDesired;
    if (packet.recursion_available)
        flags |= kFlagRecursionAvailable;
    if (packet.broadcast)
        flags |= kFlagBroadcast;
    return flags;
}

// A name in place, or a pointer (two bytes, top bits set) back to a name
// written earlier in the packet, which must itself be in place.
Parse read_name(Reader *in, NetbiosName *out)
{
    if (in->left() >= 2 && (in->data()[in->offset()] & 0xc0) == 0xc0) {
        uint16_t pointer;
        in->be16(&pointer);
        size_t target = pointer & 0x3fff;
        if (target < kHeaderBytes || target + kEncodedNameBytes > in->offset() - 2)
            return Parse::Malformed;
        Reader at(in->data(), in->size());
        at.skip(target);
        return decode_name(&at, out);
    }
    return decode_name(in, out);
}

// One resource record; `kept` tells whether it was an NB record, read into
// `record`. A WACK's record carries two bytes (the request's flags) where others
// carry entries: `wack` lets it through with address 0.
Parse read_record(Reader *in, NameRecord *record, bool *kept, bool wack)
{
    uint16_t type, klass, rdlength;
    if (read_name(in, &record->name) != Parse::Ok)
        return Parse::Malformed;
    if (!in->be16(&type) || !in->be16(&klass) || !in->be32(&record->ttl) || !in->be16(&rdlength))
        return Parse::Malformed;
    const uint8_t *bytes;
    if (!in->bytes(rdlength, &bytes))
        return Parse::Malformed;
    *kept = false;
    if (type != kTypeNb || klass != kClassIn)
        return Parse::Ok;
    // An NB record lists one or more (flags, address) entries; a node
    // answering for itself gives one, and the first is the one that counts.
    if ((rdlength < kNbEntryBytes || rdlength % kNbEntryBytes != 0) && !(wack && rdlength == 2))
        return Parse::Malformed;
    Reader entry(bytes, rdlength);
    record->address = 0;
    entry.be16(&record->nb_flags);
    if (rdlength >= kNbEntryBytes)
        entry.be32(&record->address);
    *kept = true;
    return Parse::Ok;
}

} // namespace

bool NamePacket::operator==(const NamePacket &o) const
{
    return id == o.id && response == o.response && opcode == o.opcode &&
           authoritative == o.authoritative && truncated == o.truncated &&
           recursion_desired == o.recursion_desired &&
           recursion_available == o.recursion_available && broadcast == o.broadcast &&
           rcode == o.rcode && has_question == o.has_question &&
           (!has_question || (question == o.question && question_type == o.question_type)) &&
           has_record == o.has_record && (!has_record || record == o.record);
}

Parse parse_name_packet(const uint8_t *data, size_t size, NamePacket *out)
{
    Reader in(data, size);
    uint16_t flags, qdcount, ancount, nscount, arcount;
    if (!in.be16(&out->id) || !in.be16(&flags) || !in.be16(&qdcount) || !in.be16(&ancount) ||
        !in.be16(&nscount) || !in.be16(&arcount))
        return Parse::Malformed;
    out->response = flags & kFlagResponse;
    out->opcode = uint8_t((flags >> 11) & 0x0f);
    out->authoritative = flags & kFlagAuthoritative;
    out->truncated = flags & kFlagTruncated;
    out->recursion_desired = flags & kFlagRecursionDesired;
    out->recursion_available = flags & kFlagRecursionAvailable;
    out->broadcast = flags & kFlagBroadcast;
    out->rcode = uint8_t(flags & 0x0f);

    if (qdcount > 1)
        return Parse::Malformed;
    out->has_question = qdcount == 1;
    if (out->has_question) {
        uint16_t klass;
        if (read_name(&in, &out->question) != Parse::Ok || !in.be16(&out->question_type) ||
            !in.be16(&klass))
            return Parse::Malformed;
    }
    uint32_t records = uint32_t(ancount) + nscount + arcount;
    if (records > kMaxRecords)
        return Parse::Malformed;
    out->has_record = false;
    for (uint32_t i = 0; i < records; ++i) {
        NameRecord record;
        bool kept = false;
        if (read_record(&in, &record, &kept, out->opcode == kOpWack) != Parse::Ok)
            return Parse::Malformed;
        if (kept && !out->has_record) {
            out->record = record;
            out->has_record = true;
        }
    }
    switch (out->opcode) {
    case kOpQuery:
    case kOpRegistration:
    case kOpRelease:
    case kOpWack:
    case kOpRefresh:
    case kOpRefreshAlt:
    case kOpMultihomed:
        return Parse::Ok;
    default:
        return Parse::Unsupported;
    }
}

std::vector<uint8_t> build_name_packet(const NamePacket &packet)
{
    std::vector<uint8_t> bytes;
    Writer out(&bytes);
    out.be16(packet.id);
    out.be16(header_flags(packet));
    out.be16(packet.has_question ? 1 : 0);
    out.be16(packet.has_record && packet.response ? 1 : 0);
    out.be16(0);
    out.be16(packet.has_record && !packet.response ? 1 : 0);
    if (packet.has_question) {
        encode_name(packet.question, &out);
        out.be16(packet.question_type);
        out.be16(kClassIn);
    }
    if (packet.has_record) {
        encode_name(packet.record.name, &out);
        out.be16(kTypeNb);
        out.be16(kClassIn);
        out.be32(packet.record.ttl);
        out.be16(uint16_t(kNbEntryBytes));
        out.be16(packet.record.nb_flags);
        out.be32(packet.record.address);
    }
    return bytes;
}

NetbiosName any_name()
{
    NetbiosName name;
    name.bytes[0] = '*';
    return name;
}

std::vector<uint8_t> build_node_status(const NodeStatus &status)
{
    NamePacket header;
    header.id = status.id;
    header.response = header.authoritative = true;
    size_t count = std::min(status.names.size(), kMaxStatusNames);
    std::vector<uint8_t> bytes;
    Writer out(&bytes);
    out.be16(status.id);
    out.be16(header_flags(header));
    out.be16(0);
    out.be16(1);
    out.be16(0);
    out.be16(0);
    encode_name(status.question, &out);
    out.be16(kTypeNbstat);
    out.be16(kClassIn);
    out.be32(0); // TTL
    out.be16(uint16_t(1 + count * kNodeNameBytes + kStatisticsBytes));
    out.u8(uint8_t(count));
    for (size_t i = 0; i < count; ++i) {
        out.bytes(status.names[i].name.bytes.data(), status.names[i].name.bytes.size());
        out.be16(status.names[i].flags);
    }
    out.zeros(kStatisticsBytes);
    return bytes;
}

Parse parse_node_status(const uint8_t *data, size_t size, NodeStatus *out)
{
    Reader in(data, size);
    uint16_t flags, qdcount, ancount, nscount, arcount, type, klass, rdlength;
    uint32_t ttl;
    if (!in.be16(&out->id) || !in.be16(&flags) || !in.be16(&qdcount) || !in.be16(&ancount) ||
        !in.be16(&nscount) || !in.be16(&arcount))
        return Parse::Malformed;
    if (!(flags & kFlagResponse) || qdcount != 0 || ancount != 1)
        return Parse::Unsupported;
    if (read_name(&in, &out->question) != Parse::Ok || !in.be16(&type) || !in.be16(&klass) ||
        !in.be32(&ttl) || !in.be16(&rdlength))
        return Parse::Malformed;
    if (type != kTypeNbstat)
        return Parse::Unsupported;
    const uint8_t *rdata;
    uint8_t count;
    if (!in.bytes(rdlength, &rdata))
        return Parse::Malformed;
    Reader body(rdata, rdlength);
    if (!body.u8(&count) || body.left() < count * kNodeNameBytes + kStatisticsBytes)
        return Parse::Malformed;
    out->names.clear();
    for (uint8_t i = 0; i < count; ++i) {
        NodeStatusEntry entry;
        const uint8_t *name = nullptr;
        body.bytes(entry.name.bytes.size(), &name); // within the length checked above
        std::copy(name, name + entry.name.bytes.size(), entry.name.bytes.begin());
        body.be16(&entry.flags);
        out->names.push_back(entry);
    }
    return Parse::Ok;
}

} // namespace relay
