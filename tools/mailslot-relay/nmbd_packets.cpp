#include "nmbd_packets.h"

#include <arpa/inet.h>
#include <string.h>

#include <algorithm>

#include "datagram_packet.h"

namespace relay {

std::vector<uint8_t> nmbd_datagram_request()
{
    NmbdQuery query;
    memset(&query, 0, sizeof query); // padding too: it goes out as it is
    query.type = kNmbdDatagrams;
    query.filter_length = 0;
    query.transaction_id = -1;
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&query);
    return std::vector<uint8_t>(bytes, bytes + sizeof query);
}

void NmbdStream::feed(const uint8_t *data, size_t size)
{
    pending_.insert(pending_.end(), data, data + size);
}

NmbdStream::Next NmbdStream::next(NmbdFrame *out)
{
    size_t used = 0;
    if (!accepted_) {
        if (pending_.empty())
            return Next::More;
        if (pending_[0] != 0)
            return Next::Broken;
        accepted_ = true;
        used = 1;
    }
    Next result = Next::More;
    if (pending_.size() - used >= sizeof(NmbdFrameHeader)) {
        NmbdFrameHeader header;
        memcpy(&header, pending_.data() + used, sizeof header);
        if (header.length > kNmbdLargestFrame || header.sender_port < 0 ||
            header.sender_port > 65535)
            return Next::Broken;
        if (pending_.size() - used - sizeof header >= header.length) {
            const uint8_t *packet = pending_.data() + used + sizeof header;
            out->from = ntohl(header.sender_ip);
            out->port = uint16_t(header.sender_port);
            out->packet.assign(packet, packet + header.length);
            used += sizeof header + header.length;
            result = Next::Frame;
        }
    }
    pending_.erase(pending_.begin(), pending_.begin() + long(used));
    return result;
}

namespace {

bool contains_name(const std::vector<NetbiosName> &names, const NetbiosName &name)
{
    for (const NetbiosName &held : names)
        if (same_name(held, name))
            return true;
    return false;
}

} // namespace

bool NmbdNames::holds_unique(const NetbiosName &name) const
{
    return contains_name(unique, name);
}

bool NmbdNames::holds(const NetbiosName &name) const
{
    return contains_name(unique, name) || contains_name(groups, name);
}

std::string NmbdNames::describe() const
{
    std::string text;
    for (const NetbiosName &name : unique)
        text += (text.empty() ? "" : ", ") + name.describe();
    for (const NetbiosName &name : groups)
        text += (text.empty() ? "" : ", ") + name.describe() + " (group)";
    return text;
}

NmbdNames nmbd_names_from(const NodeStatus &status)
{
    NmbdNames names;
    for (const NodeStatusEntry &entry : status.names) {
        bool group = (entry.flags & kNbGroup) != 0;
        uint8_t suffix = entry.name.suffix();
        std::vector<NetbiosName> &into = group ? names.groups : names.unique;
        if ((suffix == 0x00 || (group && suffix == 0x1e)) && !contains_name(into, entry.name))
            into.push_back(entry.name);
    }
    return names;
}

bool RepeatFilter::repeat(uint32_t from, const std::vector<uint8_t> &packet, int64_t now)
{
    while (!seen_.empty() && (now - seen_.front().at > kWindowMs || seen_.size() >= kRemembered))
        seen_.pop_front();
    for (const Seen &earlier : seen_)
        if (earlier.from == from && earlier.packet == packet)
            return true;
    seen_.push_back({from, packet, now});
    return false;
}

} // namespace relay
