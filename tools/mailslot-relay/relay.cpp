#include "relay.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

namespace relay {
namespace {

constexpr size_t kLargestUdpPayload = 65535;

// A slot name this host's slots can have: one path component.
bool is_local_slot_name(const std::string &slot)
{
    if (slot.empty() || slot == "." || slot == "..")
        return false;
    for (unsigned char c : slot)
        if (c < 0x20 || c == '/' || c == '\\')
            return false;
    return true;
}

} // namespace

Relay::Relay(const NetbiosName &name, const NetbiosName &group, std::vector<Interface> interfaces,
             std::string root, std::string nmbd_socket_dir, uint32_t wins)
    : own_name_(name), own_group_(group), interfaces_(std::move(interfaces)),
      root_(std::move(root)), wins_server_(wins),
      datagram_id_(uint16_t(getpid() * 7919u + uint32_t(now()))), buffer_(kLargestUdpPayload),
      nmbd_dir_(std::move(nmbd_socket_dir))
{
    use_names(name, group);
}

Millis Relay::next_deadline() const
{
    Millis deadline = -1;
    for (Millis d : {names_->next_deadline(), wins_ ? wins_->next_deadline() : -1, seek_deadline()})
        if (d >= 0 && (deadline < 0 || d < deadline))
            deadline = d;
    return deadline;
}

Millis Relay::now()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return Millis(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

bool Relay::open(std::string *error)
{
    std::string nmbd_absent;
    if (!try_beside_nmbd(&nmbd_absent) && !open_own_node(error)) {
        if (!nmbd_absent.empty())
            *error += "; and beside nmbd: " + nmbd_absent;
        return false;
    }
    if (!handoff_.open(root_, error))
        return false;
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGUSR1);
    signals_.reset(signalfd(-1, &stop, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!signals_.valid()) {
        *error = std::string("cannot watch for signals: ") + strerror(errno);
        return false;
    }
    return true;
}

int Relay::run()
{
    delivery_.start();
    if (mode_ == Mode::OwnNode)
        start_names();
    NameService::State reported = NameService::State::Registering;
    auto handler = [this](const HandoffRequest &request, HandoffServer::Reply reply) {
        on_handoff(request, reply);
    };
    int status = 0;
    for (;;) {
        // Slots 3 and 4 are -1, which poll skips, without nmbd or a WINS server.
        const int lookups = system_resolver_ ? system_resolver_->fd() : -1;
        std::vector<struct pollfd> fds = {{signals_.get(), POLLIN, 0},
                                          {name_port_.fd(), POLLIN, 0},
                                          {datagram_port_.fd(), POLLIN, 0},
                                          {nmbd_.fd(), POLLIN, 0},
                                          {lookups, POLLIN, 0}};
        handoff_.add_poll_fds(&fds);
        Millis deadline = next_deadline();
        int timeout = deadline < 0 ? -1 : int(std::max<Millis>(0, deadline - now()));
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
            fprintf(stderr, "mailslot-relay: poll failed: %s\n", strerror(errno));
            status = 1;
            break;
        }
        Signal signal = take_signal();
        if (signal == Signal::Stop)
            break;
        if (signal == Signal::Report)
            counters_.print(stderr);
        if (fds[1].revents)
            on_name_packets();
        if (fds[2].revents)
            on_datagrams();
        if (fds[3].revents)
            on_nmbd_frames();
        if (fds[4].revents && system_resolver_)
            system_resolver_->on_ready();
        for (size_t i = 5; i < fds.size(); ++i)
            handoff_.on_ready(fds[i], handler);
        if (seek_deadline() >= 0 && now() >= seek_deadline())
            seek_charge();
        names_->tick(now());
        if (wins_)
            wins_->tick(now());

        NameService::State state = names_->state();
        const OwnName *refused = names_->refused();
        if (state == NameService::State::Conflict && refused) {
            fprintf(stderr, "mailslot-relay: the name %s is already held by %s: choose another "
                            "with %s\n",
                    refused->name.describe().c_str(), ip_text(refused->defender).c_str(),
                    refused->group ? "--workgroup" : "--name");
            status = 1;
            break;
        }
        if (state == NameService::State::Registered && reported != state)
            report_registered();
        reported = state;
    }
    names_->release();
    if (wins_)
        wins_->release();
    handoff_.close();
    delivery_.stop();
    counters_.print(stderr);
    return status;
}

void Relay::report_registered() const
{
    std::string names, where;
    for (const OwnName &own : names_->names())
        names += (names.empty() ? "" : ", ") + own.name.describe() + (own.group ? " (group)" : "");
    for (const Interface &iface : interfaces_)
        where += (where.empty() ? " on " : ", ") + iface.name + " " + ip_text(iface.address);
    fprintf(stderr, "mailslot-relay: %s registered%s\n", names.c_str(), where.c_str());
    fflush(stderr);
}

Relay::Signal Relay::take_signal()
{
    Signal result = Signal::None;
    struct signalfd_siginfo info;
    while (read(signals_.get(), &info, sizeof info) == ssize_t(sizeof info)) {
        if (info.ssi_signo == SIGUSR1 && result == Signal::None)
            result = Signal::Report;
        else if (info.ssi_signo != SIGUSR1)
            result = Signal::Stop;
    }
    return result;
}

const Interface *Relay::interface_by_index(int index) const
{
    for (const Interface &iface : interfaces_)
        if (iface.index == index)
            return &iface;
    return nullptr;
}

bool Relay::from_self(uint32_t address) const
{
    for (const Interface &iface : interfaces_)
        if (iface.address == address)
            return true;
    return false;
}

// Packets from this host's own addresses (our broadcasts come back) and
// from networks we do not serve are not counted, except the WINS server's
// answers: beside nmbd the server may be this host's nmbd, answering over
// loopback.
void Relay::on_name_packets()
{
    Arrival arrival;
    while (name_port_.receive(buffer_.data(), buffer_.size(), &arrival)) {
        counters_.kernel_drops += arrival.kernel_drops;
        const Interface *iface = interface_by_index(arrival.interface_index);
        const bool from_server = wins_ && arrival.from == wins_server_;
        const bool from_peer = iface && !from_self(arrival.from);
        if (!from_server && !from_peer)
            continue;
        NamePacket packet;
        Parse parsed = parse_name_packet(buffer_.data(), arrival.size, &packet);
        if (parsed == Parse::Malformed)
            counters_.drop(Drop::Malformed);
        else if (parsed != Parse::Ok ||
                 (!(from_server && wins_->on_packet(packet, arrival.from, arrival.port, now())) &&
                  !(from_peer &&
                    names_->on_packet(packet, *iface, arrival.from, arrival.port, now()))))
            ++counters_.names_ignored;
    }
}

void Relay::on_datagrams()
{
    Arrival arrival;
    while (datagram_port_.receive(buffer_.data(), buffer_.size(), &arrival)) {
        counters_.kernel_drops += arrival.kernel_drops;
        const Interface *iface = interface_by_index(arrival.interface_index);
        if (!iface || from_self(arrival.from))
            continue;
        on_datagram_bytes(buffer_.data(), arrival.size);
    }
}

void Relay::on_datagram_bytes(const uint8_t *data, size_t size)
{
    MailslotDatagram datagram;
    switch (parse_mailslot_datagram(data, size, &datagram)) {
    case Parse::Ok:
        on_datagram(datagram);
        break;
    case Parse::Malformed:
        counters_.drop(Drop::Malformed);
        break;
    case Parse::Fragment:
        counters_.drop(Drop::Fragment);
        break;
    case Parse::Unsupported:
        counters_.drop(Drop::Unsupported);
        break;
    }
}

// For a name we hold, suffix included (beside nmbd: nmbd's names); a
// broadcast datagram may name every node with "*".
bool Relay::addressed_to_us(const MailslotDatagram &datagram) const
{
    bool held = mode_ == Mode::OwnNode ? names_->holds(datagram.destination)
                                       : nmbd_names_.holds(datagram.destination);
    return held ||
           (datagram.type == kBroadcast && datagram.destination.bytes[0] == '*');
}

void Relay::on_datagram(const MailslotDatagram &datagram)
{
    if (!addressed_to_us(datagram))
        counters_.drop(Drop::NotOurs);
    else if (datagram.data.size() > kMaxMailslotData)
        counters_.drop(Drop::TooLarge);
    else if (!is_local_slot_name(datagram.slot))
        counters_.drop(Drop::NoSlot);
    else
        delivery_.enqueue(datagram.slot, datagram.data);
}

void Relay::on_handoff(const HandoffRequest &request, const HandoffServer::Reply &reply)
{
    NetbiosName target;
    bool named = request.kind == HandoffRequest::Kind::SendAll ||
                 make_name(request.target, 0x00, &target);
    if (!named || (request.kind != HandoffRequest::Kind::Resolve &&
                   request.data.size() > kMaxMailslotData)) {
        reply(w32::kHandoffNoName);
        return;
    }
    switch (request.kind) {
    case HandoffRequest::Kind::Resolve:
        if (ours_unique(target)) { // beside nmbd, an alias of this host's too
            reply(w32::handoff_machine_reply(ip_text(interfaces_.front().address)));
            break;
        }
        resolver_->resolve(target, [reply](bool found, const Resolved &where) {
            if (!found)
                reply(w32::kHandoffNoName);
            else
                reply(where.group ? std::string(w32::kHandoffGroup)
                                  : w32::handoff_machine_reply(ip_text(where.address)));
        });
        break;
    case HandoffRequest::Kind::SendUnique:
        send_unique(target, request, reply);
        break;
    case HandoffRequest::Kind::SendGroup:
        // This host is a member of its own workgroup.
        if (same_name(target, group_))
            delivery_.enqueue(request.slot, request.data);
        send_group(target, request, reply);
        break;
    case HandoffRequest::Kind::SendAll: // the writer has put it into the local slot
        send_group(group_, request, reply);
        break;
    }
}

void Relay::send_unique(const NetbiosName &to, const HandoffRequest &request,
                        const HandoffServer::Reply &reply)
{
    if (ours_unique(to)) { // our own name: no datagram, straight into the slot
        delivery_.enqueue(request.slot, request.data);
        reply(w32::kHandoffOk);
        return;
    }
    resolver_->resolve(to, [this, to, request, reply](bool found, const Resolved &where) {
        if (!found || where.group) {
            reply(w32::kHandoffNoName);
            return;
        }
        const Interface *iface = interface_by_index(where.interface_index);
        if (!iface)
            iface = &interfaces_.front();
        bool sent = send_datagram(*iface, where.address, kDirectUnique, to, request);
        reply(sent ? w32::kHandoffOk : w32::kHandoffNoName);
    });
}

void Relay::send_group(const NetbiosName &group, const HandoffRequest &request,
                       const HandoffServer::Reply &reply)
{
    bool sent = true;
    for (const Interface &iface : interfaces_)
        sent = send_datagram(iface, iface.broadcast, kDirectGroup, group, request) && sent;
    reply(sent ? w32::kHandoffOk : w32::kHandoffNoName);
}

bool Relay::send_datagram(const Interface &iface, uint32_t to, uint8_t type,
                          const NetbiosName &destination, const HandoffRequest &request)
{
    MailslotDatagram d;
    d.type = type;
    d.id = datagram_id_++;
    d.source_ip = iface.address;
    d.source = name_;
    d.destination = destination;
    d.slot = request.slot;
    d.data = request.data;
    if (!datagram_port_.send(iface, to, kDatagramPort, build_mailslot_datagram(d)))
        return false;
    ++counters_.sent;
    return true;
}

void Relay::send_name_packet(const Interface &iface, uint32_t to, uint16_t port,
                             const std::vector<uint8_t> &packet)
{
    if (name_port_.send(iface, to, port, packet)) {
        name_send_errno_ = 0;
        return;
    }
    // Registrations, releases and answers that cannot go out are logged
    // once for each kind of failure, not at every retry.
    int err = errno;
    if (err != name_send_errno_)
        fprintf(stderr, "mailslot-relay: a name packet to %s on %s could not be sent: %s\n",
                ip_text(to).c_str(), iface.name.c_str(), strerror(err));
    name_send_errno_ = err;
}

} // namespace relay
