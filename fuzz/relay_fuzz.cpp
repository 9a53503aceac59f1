// Untrusted bytes as the relay receives them: a name-service packet (a node
// status response among them), a mailslot datagram, a hand-off request and
// the stream from nmbd's packet socket. Nothing may crash or read out of
// bounds, and whatever parses must build back into bytes that parse to the
// same packet and build to the same bytes again.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "datagram_packet.h"
#include "fuzz_root.h"
#include "handoff.h"
#include "name_packet.h"
#include "name_service.h"
#include "nmbd_packets.h"
#include "wins_client.h"

using namespace relay;

namespace {

class Discard : public NameTransport {
public:
    void send_name_packet(const Interface &, uint32_t, uint16_t, const std::vector<uint8_t> &) override
    {
    }
};

void Expect(bool ok, const char *what, const char *kind = "")
{
    if (!ok)
        FuzzFail(what, kind);
}

// A parsed packet, built again, parses to the same packet and builds the
// same bytes again.
template <typename Packet>
void ExpectRoundTrip(const Packet &first, Parse (*parse)(const uint8_t *, size_t, Packet *),
                     std::vector<uint8_t> (*build)(const Packet &), const char *kind)
{
    std::vector<uint8_t> built = build(first);
    Packet second;
    Expect(parse(built.data(), built.size(), &second) == Parse::Ok, "a built packet parses", kind);
    Expect(second == first, "a packet survives build and parse", kind);
    Expect(build(second) == built, "a packet builds the same bytes again", kind);
}

void CheckNamePacket(const uint8_t *data, size_t size)
{
    NamePacket first;
    if (parse_name_packet(data, size, &first) != Parse::Ok)
        return;
    ExpectRoundTrip(first, parse_name_packet, build_name_packet, "name packet");

    // The packet through a registered node's logic, answering or defending.
    static Discard discard;
    Interface lan;
    lan.index = 2;
    lan.address = 0x0a000001;
    lan.netmask = 0xffffff00;
    lan.broadcast = 0x0a0000ff;
    NetbiosName name, group;
    make_name("HOSTA", 0, &name);
    make_name("WORKGROUP", 0, &group);
    NameService service(name, group, {lan}, &discard, 1);
    service.start(0);
    service.tick(1000);
    service.resolve(first.has_record ? first.record.name : name, 1000, [](bool, const Resolved &) {});
    service.on_packet(first, lan, 0x0a000002, 137, 1000);
    NamePacket status = first; // the same bytes asked as node status
    status.question_type = kTypeNbstat;
    service.on_packet(status, lan, 0x0a000002, 137, 1000);
    service.tick(5000);

    // The same packet as the WINS server's answer to a registration and to
    // a query: its id is theirs, so only its name and contents decide.
    WinsClient wins(0x0a000002, lan, service.names(), &discard, first.id);
    wins.start(0);
    wins.on_packet(first, 0x0a000002, 137, 10);
    NamePacket answer = first;
    answer.id = uint16_t(first.id + service.names().size());
    wins.resolve(first.has_record ? first.record.name : first.question, 10,
                 [](WinsClient::Answer, const Resolved &) {});
    wins.on_packet(answer, 0x0a000002, 137, 20);
    wins.tick(100000);
    wins.release();
}

void CheckNodeStatus(const uint8_t *data, size_t size)
{
    NodeStatus first;
    if (parse_node_status(data, size, &first) != Parse::Ok)
        return;
    Expect(first.names.size() * 18 <= size, "no more names than the packet holds");
    ExpectRoundTrip(first, parse_node_status, build_node_status, "node status");
}

void CheckDatagram(const uint8_t *data, size_t size)
{
    MailslotDatagram first;
    if (parse_mailslot_datagram(data, size, &first) != Parse::Ok)
        return;
    Expect(first.data.size() <= size && first.slot.size() <= size, "no more than the packet");
    ExpectRoundTrip(first, parse_mailslot_datagram, build_mailslot_datagram, "datagram");
}

void CheckHandoff(const uint8_t *data, size_t size)
{
    HandoffRequest request;
    if (!parse_handoff_request(data, size, &request))
        return;
    Expect(request.data.size() <= size, "hand-off data within the request");
    Expect(request.kind == HandoffRequest::Kind::Resolve || !request.slot.empty(),
           "a send names its slot");
    // The layer's writers build what the relay parses: a parsed request,
    // built again, must parse to the same request.
    std::string built = w32::format_handoff_request(request);
    HandoffRequest again;
    Expect(parse_handoff_request(reinterpret_cast<const uint8_t *>(built.data()), built.size(),
                                 &again),
           "a built hand-off request parses");
    Expect(again == request, "a hand-off request survives build and parse");
}

// nmbd's stream, cut in two where its first byte says: frames come whole,
// no larger than nmbd makes them, and their datagrams are judged as any.
void CheckNmbdStream(const uint8_t *data, size_t size)
{
    NmbdStream stream;
    size_t cut = size ? data[0] % (size + 1) : 0;
    size_t taken = 0;
    NmbdFrame frame;
    NmbdStream::Next next = NmbdStream::Next::More;
    for (auto part : {std::make_pair(data, cut), std::make_pair(data + cut, size - cut)}) {
        stream.feed(part.first, part.second);
        while ((next = stream.next(&frame)) == NmbdStream::Next::Frame) {
            taken += sizeof(NmbdFrameHeader) + frame.packet.size();
            Expect(frame.packet.size() <= kNmbdLargestFrame && taken < size + 1,
                   "a frame within nmbd's limit and the stream");
            CheckDatagram(frame.packet.data(), frame.packet.size());
        }
        if (next == NmbdStream::Next::Broken)
            return;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    CheckNamePacket(data, size);
    CheckNodeStatus(data, size);
    CheckDatagram(data, size);
    CheckHandoff(data, size);
    CheckNmbdStream(data, size);
    return 0;
}
