// The relay's two modes and the change between them: its own node on UDP
// 137 and 138, or beside nmbd through nmbd's packet socket; when nmbd stops,
// the relay takes charge as its own node, or goes back beside nmbd when
// nmbd returns first.
#include <stdio.h>

#include <algorithm>

#include "relay.h"

namespace relay {
namespace {

constexpr Millis kSeekInterval = 1000;

// The longest message to `slot` that nmbd passes on whole.
size_t longest_message_through_nmbd(const std::string &slot)
{
    MailslotDatagram empty;
    empty.slot = slot;
    size_t overhead = build_mailslot_datagram(empty).size();
    return overhead < kNmbdLargestDatagram ? kNmbdLargestDatagram - overhead : 0;
}

void say(const std::string &line)
{
    fprintf(stderr, "mailslot-relay: %s\n", line.c_str());
    fflush(stderr);
}

} // namespace

// The whole name stack is built anew, the resolver last, since it holds
// the others: what was still being resolved is dropped with them, never
// answered from a stack that is gone. Beside nmbd the WINS client
// registers nothing (nmbd registers its names) and only asks.
void Relay::use_names(const NetbiosName &name, const NetbiosName &group)
{
    name_ = name;
    group_ = group;
    resolver_.reset();
    wins_.reset();
    system_resolver_.reset();
    names_ = std::make_unique<NameService>(name_, group_, interfaces_, this,
                                           uint16_t(datagram_id_ * 31u + 1));
    names_->set_note(say);
    if (wins_server_) {
        const Interface *via = &interfaces_.front();
        for (const Interface &iface : interfaces_)
            if (iface.on_subnet(wins_server_))
                via = &iface;
        std::vector<OwnName> registered;
        if (mode_ == Mode::OwnNode)
            registered = names_->names();
        wins_ = std::make_unique<WinsClient>(wins_server_, *via, registered, this,
                                             uint16_t(datagram_id_ * 31u + 0x8001));
        wins_->set_note(say);
        system_resolver_ = std::make_unique<SystemResolver>();
    }
    resolver_ = std::make_unique<NameResolver>(names_.get(), wins_.get(), system_resolver_.get(),
                                               &interfaces_, &Relay::now);
}

void Relay::start_names()
{
    names_->start(now());
    if (wins_)
        wins_->start(now());
}

bool Relay::open_own_node(std::string *error)
{
    UdpPort names, datagrams;
    if (!names.open(kNamePort, error) || !datagrams.open(kDatagramPort, error))
        return false;
    name_port_ = std::move(names);
    datagram_port_ = std::move(datagrams);
    nmbd_.close();
    nmbd_names_ = NmbdNames();
    mode_ = Mode::OwnNode;
    use_names(own_name_, own_group_);
    say("mode: its own NetBIOS node on UDP ports 137 and 138 (no nmbd at " +
        NmbdRoute::socket_path(nmbd_dir_) + ")");
    return true;
}

// nmbd keeps both ports; the relay sends from ports of its own, with this
// host's address and port 138 in each datagram, so that answers come back
// through nmbd, and reads its own ports for those sent to where a datagram
// came from. It never binds 138 beside nmbd: with SO_REUSEADDR the bind
// would succeed and take nmbd's unicast datagrams.
bool Relay::try_beside_nmbd(std::string *error)
{
    NmbdRoute::Connect connected = nmbd_.connect(nmbd_dir_, error);
    if (connected == NmbdRoute::Connect::Absent) // nothing to say: there is no nmbd
        error->clear();
    if (connected != NmbdRoute::Connect::Ok)
        return false;
    UdpPort names, datagrams;
    if (!names.open(0, error) || !datagrams.open(0, error)) {
        nmbd_.close();
        return false;
    }
    std::string unnamed;
    NmbdNames held;
    if (!ask_nmbd_names(interfaces_, &held, &unnamed)) {
        say(unnamed + ": delivering for " + own_name_.describe() + " and " +
            own_group_.describe() + " instead");
        NetbiosName browsers = own_group_;
        browsers.bytes[15] = NameService::kBrowserElectionSuffix;
        held.unique = {own_name_};
        held.groups = {own_group_, browsers};
    }
    name_port_ = std::move(names);
    datagram_port_ = std::move(datagrams);
    nmbd_names_ = held;
    mode_ = Mode::BesideNmbd;
    seek_reason_.clear();
    use_names(held.unique.front(), held.groups.empty() ? own_group_ : held.groups.front());
    say("mode: beside nmbd, through " + NmbdRoute::socket_path(nmbd_dir_) + ", for " +
        nmbd_names_.describe() + "; a datagram over " + std::to_string(kNmbdLargestDatagram) +
        " bytes cannot pass nmbd and is lost (to $Channel1$: a message over " +
        std::to_string(longest_message_through_nmbd("$Channel1$")) + " bytes)");
    return true;
}

bool Relay::ours_unique(const NetbiosName &name) const
{
    return same_name(name, name_) || (mode_ != Mode::OwnNode && nmbd_names_.holds_unique(name));
}

// Whether a datagram nmbd passes on was sent from this host: over
// loopback, or from an address of any of its interfaces. Delivered, it
// would enter local slots with the relay's root credentials, which a local
// account's own write does not carry; its own node never hears them, as it
// takes datagrams on the interfaces it serves alone.
bool Relay::from_this_host(uint32_t address)
{
    if (!is_host_address(address) || from_self(address))
        return true;
    if (host_addresses_at_ < 0 || now() - host_addresses_at_ >= 1000) {
        host_addresses_ = this_host_addresses();
        host_addresses_at_ = now();
    }
    return std::find(host_addresses_.begin(), host_addresses_.end(), address) !=
           host_addresses_.end();
}

// What nmbd passes on: the relay's own sends come back and are not
// counted, nor are other sends from this host, nor the second copy of a
// broadcast; the rest is judged as any datagram.
void Relay::on_nmbd_frames()
{
    std::string why;
    bool open = nmbd_.read(
        [this](const NmbdFrame &frame) {
            if (from_this_host(frame.from) || frame.packet.empty())
                return;
            bool broadcast = frame.packet[0] == kDirectGroup || frame.packet[0] == kBroadcast;
            if (broadcast && repeats_.repeat(frame.from, frame.packet, now()))
                return;
            on_datagram_bytes(frame.packet.data(), frame.packet.size());
        },
        &why);
    if (open)
        return;
    say(why + ": connecting again, or taking charge of this host's NetBIOS node if nmbd has "
              "stopped");
    mode_ = Mode::Seeking;
    next_seek_ = now();
}

// nmbd back (its socket takes the relay again), or the ports free for the
// relay's own node; until one of them, the reason is said once.
void Relay::seek_charge()
{
    std::string beside, own;
    if (try_beside_nmbd(&beside))
        return;
    if (open_own_node(&own)) {
        start_names();
        return;
    }
    std::string reason = own + (beside.empty() ? "" : "; " + beside);
    if (reason != seek_reason_)
        say("cannot take charge yet, trying again every second: " + reason);
    seek_reason_ = reason;
    next_seek_ = now() + kSeekInterval;
}

} // namespace relay
