#include "datagram_packet.h"

#include <string.h>
#include <strings.h>

namespace relay {
namespace {

constexpr size_t kDatagramHeaderBytes = 14;
constexpr size_t kSmbHeaderBytes = 32;
constexpr uint8_t kSmbComTransaction = 0x25;
constexpr uint8_t kTransactionWords = 14; // before the setup words
constexpr uint8_t kMailslotSetupWords = 3;
constexpr uint16_t kOpWriteMailslot = 1;
constexpr uint16_t kPriority = 1;
constexpr uint16_t kClassUnreliable = 2;
constexpr char kMailslotPrefix[] = "\\MAILSLOT\\";
constexpr size_t kMailslotPrefixBytes = sizeof kMailslotPrefix - 1;

struct Transaction {
    uint16_t total_data;
    uint16_t data_count;
    uint16_t data_offset;
    uint8_t setup_count;
    uint16_t opcode;
};

// The SMB transaction inside the datagram: `smb` is its header's start.
Parse parse_transaction(Reader *smb, MailslotDatagram *out)
{
    const uint8_t *header;
    if (!smb->bytes(kSmbHeaderBytes, &header))
        return Parse::Malformed;
    if (memcmp(header, "\xffSMB", 4) != 0)
        return Parse::Malformed;
    if (header[4] != kSmbComTransaction)
        return Parse::Unsupported;

    uint8_t word_count;
    Transaction t;
    uint16_t ignored16, parameter_count, parameter_offset;
    uint32_t ignored32;
    uint8_t ignored8;
    if (!smb->u8(&word_count) || !smb->le16(&ignored16) || !smb->le16(&t.total_data) ||
        !smb->le16(&ignored16) || !smb->le16(&ignored16) || !smb->u8(&ignored8) ||
        !smb->u8(&ignored8) || !smb->le16(&ignored16) || !smb->le32(&ignored32) ||
        !smb->le16(&ignored16) || !smb->le16(&parameter_count) ||
        !smb->le16(&parameter_offset) || !smb->le16(&t.data_count) ||
        !smb->le16(&t.data_offset) || !smb->u8(&t.setup_count) || !smb->u8(&ignored8))
        return Parse::Malformed;
    if (word_count != kTransactionWords + t.setup_count)
        return Parse::Malformed;
    if (t.setup_count != kMailslotSetupWords)
        return Parse::Unsupported;
    uint16_t priority, klass;
    if (!smb->le16(&t.opcode) || !smb->le16(&priority) || !smb->le16(&klass))
        return Parse::Malformed;
    if (t.opcode != kOpWriteMailslot)
        return Parse::Unsupported;
    if (t.total_data != t.data_count)
        return Parse::Unsupported; // a transaction in parts

    uint16_t byte_count;
    const uint8_t *bytes;
    if (!smb->le16(&byte_count))
        return Parse::Malformed;
    size_t bytes_start = smb->offset();
    if (!smb->bytes(byte_count, &bytes))
        return Parse::Malformed;

    // The slot's name, NUL-terminated, opens the byte area; the message
    // lies inside the byte area, after the name.
    const void *nul = memchr(bytes, 0, byte_count);
    if (!nul)
        return Parse::Malformed;
    size_t name_bytes = static_cast<const uint8_t *>(nul) - bytes;
    size_t bytes_end = bytes_start + byte_count;
    size_t data_start = t.data_offset;
    if (data_start < bytes_start + name_bytes + 1 || data_start > bytes_end ||
        t.data_count > bytes_end - data_start)
        return Parse::Malformed;
    if (name_bytes <= kMailslotPrefixBytes ||
        strncasecmp(reinterpret_cast<const char *>(bytes), kMailslotPrefix,
                    kMailslotPrefixBytes) != 0)
        return Parse::Unsupported;
    out->slot.assign(reinterpret_cast<const char *>(bytes) + kMailslotPrefixBytes,
                     name_bytes - kMailslotPrefixBytes);
    const uint8_t *message = smb->data() + data_start;
    out->data.assign(message, message + t.data_count);
    return Parse::Ok;
}

} // namespace

bool MailslotDatagram::operator==(const MailslotDatagram &o) const
{
    return type == o.type && flags == o.flags && id == o.id && source_ip == o.source_ip &&
           source_port == o.source_port && source == o.source && destination == o.destination &&
           slot == o.slot && data == o.data;
}

Parse parse_mailslot_datagram(const uint8_t *data, size_t size, MailslotDatagram *out)
{
    Reader in(data, size);
    uint16_t length, packet_offset;
    if (!in.u8(&out->type) || !in.u8(&out->flags) || !in.be16(&out->id) ||
        !in.be32(&out->source_ip) || !in.be16(&out->source_port) || !in.be16(&length) ||
        !in.be16(&packet_offset))
        return Parse::Malformed;
    if (out->type != kDirectUnique && out->type != kDirectGroup && out->type != kBroadcast)
        return Parse::Unsupported;
    if (length > in.left() || length < 2 * kEncodedNameBytes)
        return Parse::Malformed;
    if ((out->flags & (kFlagFirst | kFlagMore)) != kFlagFirst || packet_offset != 0)
        return Parse::Fragment; // mailslot writes come whole

    // Only DGM_LENGTH bytes belong to the datagram; anything after is ignored.
    Reader body(data + kDatagramHeaderBytes, length);
    if (decode_name(&body, &out->source) != Parse::Ok ||
        decode_name(&body, &out->destination) != Parse::Ok)
        return Parse::Malformed;
    Reader smb(data + kDatagramHeaderBytes + body.offset(), body.left());
    return parse_transaction(&smb, out);
}

std::vector<uint8_t> build_mailslot_datagram(const MailslotDatagram &d)
{
    std::string name = kMailslotPrefix + d.slot;
    size_t name_bytes = name.size() + 1;
    size_t data_offset = kSmbHeaderBytes + 1 + 2 * (kTransactionWords + kMailslotSetupWords) + 2 +
                         name_bytes;

    std::vector<uint8_t> bytes;
    Writer out(&bytes);
    out.u8(d.type);
    out.u8(d.flags);
    out.be16(d.id);
    out.be32(d.source_ip);
    out.be16(d.source_port);
    size_t length_at = out.offset();
    out.be16(0); // DGM_LENGTH, filled in below
    out.be16(0); // PACKET_OFFSET
    encode_name(d.source, &out);
    encode_name(d.destination, &out);

    out.bytes("\xffSMB", 4);
    out.u8(kSmbComTransaction);
    out.zeros(kSmbHeaderBytes - 5);
    out.u8(kTransactionWords + kMailslotSetupWords);
    out.le16(0);                          // TotalParameterCount
    out.le16(uint16_t(d.data.size()));    // TotalDataCount
    out.le16(0);                          // MaxParameterCount
    out.le16(0);                          // MaxDataCount
    out.u8(0);                            // MaxSetupCount
    out.u8(0);                            // reserved
    out.le16(0);                          // Flags
    out.le32(0);                          // Timeout
    out.le16(0);                          // reserved
    out.le16(0);                          // ParameterCount
    out.le16(uint16_t(data_offset));      // ParameterOffset
    out.le16(uint16_t(d.data.size()));    // DataCount
    out.le16(uint16_t(data_offset));      // DataOffset
    out.u8(kMailslotSetupWords);          // SetupCount
    out.u8(0);                            // reserved
    out.le16(kOpWriteMailslot);
    out.le16(kPriority);
    out.le16(kClassUnreliable);
    out.le16(uint16_t(name_bytes + d.data.size())); // ByteCount
    out.bytes(name.c_str(), name_bytes);
    out.bytes(d.data.data(), d.data.size());

    out.patch_be16(length_at, uint16_t(bytes.size() - kDatagramHeaderBytes));
    return bytes;
}

} // namespace relay
