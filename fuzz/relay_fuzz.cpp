// Untrusted bytes as the relay receives them: a name-service packet (a node
// status response among them), a mailslot datagram and a hand-off request. Nothing may crash or read out of
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

using namespace relay;

namespace {

class Discard : public NameTransport {
public:
    void send_name_packet(const Interface &, uint32_t, uint16_t, const std::vector<uint8_t> &) override
    {
    }
};

void Expect(bool ok, const char *what)
{
    if (!ok)
        FuzzFail(what, "");
}

void CheckNamePacket(const uint8_t *data, size_t size)
{
    NamePacket first;
    if (parse_name_packet(data, size, &first) != Parse::Ok)
        return;
    std::vector<uint8_t> built = build_name_packet(first);
    NamePacket second;
    Expect(parse_name_packet(built.data(), built.size(), &second) == Parse::Ok,
           "a built name packet parses");
    Expect(second == first, "a name packet survives build and parse");
    Expect(build_name_packet(second) == built, "a name packet builds the same bytes again");

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
}

void CheckNodeStatus(const uint8_t *data, size_t size)
{
    NodeStatus first;
    if (parse_node_status(data, size, &first) != Parse::Ok)
        return;
    Expect(first.names.size() * 18 <= size, "no more names than the packet holds");
    std::vector<uint8_t> built = build_node_status(first);
    NodeStatus second;
    Expect(parse_node_status(built.data(), built.size(), &second) == Parse::Ok,
           "a built node status parses");
    Expect(second == first, "a node status survives build and parse");
    Expect(build_node_status(second) == built, "a node status builds the same bytes again");
}

void CheckDatagram(const uint8_t *data, size_t size)
{
    MailslotDatagram first;
    if (parse_mailslot_datagram(data, size, &first) != Parse::Ok)
        return;
    Expect(first.data.size() <= size && first.slot.size() <= size, "no more than the packet");
    std::vector<uint8_t> built = build_mailslot_datagram(first);
    MailslotDatagram second;
    Expect(parse_mailslot_datagram(built.data(), built.size(), &second) == Parse::Ok,
           "a built datagram parses");
    Expect(second == first, "a datagram survives build and parse");
    Expect(build_mailslot_datagram(second) == built, "a datagram builds the same bytes again");
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    CheckNamePacket(data, size);
    CheckNodeStatus(data, size);
    CheckDatagram(data, size);
    CheckHandoff(data, size);
    return 0;
}
