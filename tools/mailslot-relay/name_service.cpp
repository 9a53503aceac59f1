#include "name_service.h"

#include <ctype.h>

#include <algorithm>

namespace relay {
namespace {

// Names are compared without regard to case: keys are kept upper-cased.
NetbiosName canonical(NetbiosName name)
{
    for (size_t i = 0; i < kNameChars; ++i)
        name.bytes[i] = uint8_t(toupper(name.bytes[i]));
    return name;
}

NetbiosName with_suffix(NetbiosName name, uint8_t suffix)
{
    name.bytes[15] = suffix;
    return name;
}

// The request packet for one of our names (registration or release), as
// broadcast on `iface`.
NamePacket own_name_request(const OwnName &own, uint8_t opcode, uint16_t id, const Interface &iface)
{
    NamePacket p;
    p.id = id;
    p.opcode = opcode;
    p.recursion_desired = opcode == kOpRegistration;
    p.broadcast = true;
    p.has_question = true;
    p.question = own.name;
    p.has_record = true;
    p.record.name = own.name;
    p.record.ttl = opcode == kOpRegistration ? NameService::kTtlSeconds : 0;
    p.record.nb_flags = own.group ? kNbGroup : 0;
    p.record.address = iface.address;
    return p;
}

} // namespace

NameService::NameService(const NetbiosName &unique, const NetbiosName &group,
                         std::vector<Interface> interfaces, NameTransport *transport,
                         uint16_t first_id)
    : interfaces_(std::move(interfaces)), transport_(transport), id_(first_id)
{
    OwnName own;
    own.name = canonical(unique);
    names_.push_back(own);
    own.group = true;
    own.name = canonical(group);
    names_.push_back(own);
    own.name = with_suffix(own.name, kBrowserElectionSuffix);
    names_.push_back(own);
}

void NameService::start(Millis now)
{
    state_ = State::Registering;
    registration_tries_ = 1;
    registration_next_ = now + kRetryInterval;
    for (OwnName &own : names_) {
        own.state = OwnName::State::Registering;
        own.id = next_id();
        send_registration(own);
    }
}

void NameService::send_registration(const OwnName &own)
{
    for (const Interface &iface : interfaces_)
        transport_->send_name_packet(iface, iface.broadcast, kNamePort,
                                     build_name_packet(own_name_request(own, kOpRegistration, own.id, iface)));
}

void NameService::send_release(const OwnName &own)
{
    uint16_t id = next_id();
    for (const Interface &iface : interfaces_)
        transport_->send_name_packet(iface, iface.broadcast, kNamePort,
                                     build_name_packet(own_name_request(own, kOpRelease, id, iface)));
}

void NameService::release()
{
    for (OwnName &own : names_) {
        if (own.state == OwnName::State::Held)
            send_release(own);
        own.state = OwnName::State::Registering;
    }
    if (state_ == State::Registered)
        state_ = State::Registering;
}

void NameService::send_query(const NetbiosName &name, uint16_t id)
{
    NamePacket p;
    p.id = id;
    p.opcode = kOpQuery;
    p.recursion_desired = true;
    p.broadcast = true;
    p.has_question = true;
    p.question = name;
    std::vector<uint8_t> bytes = build_name_packet(p);
    for (const Interface &iface : interfaces_)
        transport_->send_name_packet(iface, iface.broadcast, kNamePort, bytes);
}

void NameService::tick(Millis now)
{
    if (state_ == State::Registering && registration_next_ >= 0 && now >= registration_next_) {
        if (registration_tries_ < kBroadcastTries) {
            ++registration_tries_;
            registration_next_ = now + kRetryInterval;
            for (const OwnName &own : names_)
                send_registration(own);
        } else { // nobody objected in time
            for (OwnName &own : names_)
                own.state = OwnName::State::Held;
            state_ = State::Registered;
            registration_next_ = -1;
        }
    }

    for (auto it = pending_.begin(); it != pending_.end();) {
        Pending &p = it->second;
        if (now < p.next) {
            ++it;
            continue;
        }
        if (!p.answered && p.tries < kBroadcastTries) {
            ++p.tries;
            p.next = now + kRetryInterval;
            send_query(it->first, p.id);
            ++it;
            continue;
        }
        finish_query(it++, now);
    }

    for (auto it = cache_.begin(); it != cache_.end();)
        it = it->second.expires <= now ? cache_.erase(it) : std::next(it);
}

// Ends a query: what its answers agreed on is cached and given to those
// waiting; when none came or they disagreed, they learn it was not found.
void NameService::finish_query(std::map<NetbiosName, Pending>::iterator it, Millis now)
{
    NetbiosName name = it->first;
    Pending done = std::move(it->second);
    pending_.erase(it);
    bool found = done.answered && !done.disagree;
    if (found) {
        if (cache_.size() >= kCacheMax) {
            auto oldest = std::min_element(cache_.begin(), cache_.end(), [](const auto &a, const auto &b) {
                return a.second.expires < b.second.expires;
            });
            cache_.erase(oldest);
        }
        cache_[name] = Cached{done.first, now + kCacheLifetime};
    }
    for (ResolveDone &waiting : done.waiting)
        waiting(found, found ? done.first : Resolved());
}

Millis NameService::next_deadline() const
{
    Millis next = state_ == State::Registering ? registration_next_ : -1;
    for (const auto &entry : pending_)
        if (next < 0 || entry.second.next < next)
            next = entry.second.next;
    return next;
}

const OwnName *NameService::held(const NetbiosName &name) const
{
    if (state_ != State::Registered)
        return nullptr;
    NetbiosName key = canonical(name);
    for (const OwnName &own : names_)
        if (own.state == OwnName::State::Held && own.name == key)
            return &own;
    return nullptr;
}

bool NameService::holds(const NetbiosName &name) const
{
    return held(name) != nullptr;
}

const OwnName *NameService::refused() const
{
    for (const OwnName &own : names_)
        if (own.state == OwnName::State::Refused)
            return &own;
    return nullptr;
}

const Interface *NameService::interface_for(uint32_t address) const
{
    for (const Interface &iface : interfaces_)
        if (iface.on_subnet(address))
            return &iface;
    return nullptr;
}

bool NameService::on_packet(const NamePacket &packet, const Interface &arrived, uint32_t from,
                            uint16_t port, Millis now)
{
    if (!packet.response) {
        if (!packet.has_question)
            return false;
        switch (packet.opcode) {
        case kOpQuery:
            return packet.question_type == kTypeNbstat ? answer_status(packet, arrived, from, port)
                                                       : answer_query(packet, arrived, from, port);
        case kOpRegistration:
        case kOpRefresh:
        case kOpRefreshAlt:
        case kOpMultihomed:
            return defend(packet, arrived, from, port);
        case kOpRelease:
            // Another node's release of one of our names changes nothing.
            return cache_.erase(canonical(packet.question)) > 0;
        }
        return false;
    }
    if (packet.opcode == kOpRegistration)
        return take_registration_response(packet, from);
    if (packet.opcode == kOpQuery && packet.rcode == kRcodeOk && packet.has_record)
        return take_answer(packet, arrived, now);
    return false;
}

// A refusal of a registration we have outstanding: by transaction id and
// name, never by what the packet claims about the defender, who is the
// packet's sender (RDATA carries the address being refused: ours).
bool NameService::take_registration_response(const NamePacket &response, uint32_t from)
{
    if (state_ != State::Registering || response.rcode == kRcodeOk || !response.has_record)
        return false;
    NetbiosName key = canonical(response.record.name);
    for (OwnName &own : names_) {
        if (own.state != OwnName::State::Registering || own.id != response.id || own.name != key)
            continue;
        own.state = OwnName::State::Refused;
        own.defender = from;
        state_ = State::Conflict;
        registration_next_ = -1;
        return true;
    }
    return false;
}

bool NameService::answer_query(const NamePacket &query, const Interface &arrived, uint32_t from,
                               uint16_t port)
{
    const OwnName *own = query.question_type == kTypeNb ? held(query.question) : nullptr;
    if (!own)
        return false;
    NamePacket p;
    p.id = query.id;
    p.response = p.authoritative = p.recursion_desired = true;
    p.has_record = true;
    p.record.name = query.question;
    p.record.ttl = kTtlSeconds;
    p.record.nb_flags = own->group ? kNbGroup : 0;
    p.record.address = arrived.address;
    transport_->send_name_packet(arrived, from, port, build_name_packet(p));
    return true;
}

// Node status, asked with "*" or one of our names: every name we hold.
bool NameService::answer_status(const NamePacket &query, const Interface &arrived, uint32_t from,
                                uint16_t port)
{
    if (state_ != State::Registered || (query.question != any_name() && !held(query.question)))
        return false;
    NodeStatus status;
    status.id = query.id;
    status.question = query.question;
    for (const OwnName &own : names_)
        if (own.state == OwnName::State::Held)
            status.names.push_back({own.name, uint16_t(kNameActive | (own.group ? kNbGroup : 0))});
    transport_->send_name_packet(arrived, from, port, build_node_status(status));
    return true;
}

// Another node asks for one of our names: a unique name is always refused,
// a group name only when asked for as a unique name. The refusal carries
// the requester's own record, as a defender's does.
bool NameService::defend(const NamePacket &request, const Interface &arrived, uint32_t from,
                         uint16_t port)
{
    const OwnName *own = held(request.question);
    if (!own)
        return false;
    bool as_group = request.has_record && (request.record.nb_flags & kNbGroup);
    if (own->group && (as_group || !request.has_record))
        return false;
    NamePacket p;
    p.id = request.id;
    p.response = p.authoritative = p.recursion_desired = p.recursion_available = true;
    p.opcode = kOpRegistration;
    p.rcode = kRcodeActive;
    p.has_record = true;
    p.record.name = request.question;
    p.record.nb_flags = request.has_record ? request.record.nb_flags : 0;
    p.record.address = request.has_record ? request.record.address : from;
    transport_->send_name_packet(arrived, from, port, build_name_packet(p));
    return true;
}

// An answer to one of our queries (its id and its name): the first is kept
// and the query listens on for the answer window; another address for a
// unique name makes the answers disagree.
bool NameService::take_answer(const NamePacket &response, const Interface &arrived, Millis now)
{
    NetbiosName key = canonical(response.record.name);
    auto it = pending_.find(key);
    if (it == pending_.end() || it->second.id != response.id)
        return false;
    Pending &p = it->second;
    Resolved where;
    where.address = response.record.address;
    where.group = (response.record.nb_flags & kNbGroup) != 0;
    const Interface *iface = interface_for(where.address);
    where.interface_index = iface ? iface->index : arrived.index;
    if (!p.answered) {
        p.answered = true;
        p.first = where;
        p.next = now + kAnswerWindow;
        return true;
    }
    bool same = where.group == p.first.group && (where.group || where.address == p.first.address);
    if (!same && !p.disagree) {
        p.disagree = true;
        if (note_)
            note_("conflicting answers for " + key.describe() + ": " + ip_text(p.first.address) +
                  " and " + ip_text(where.address) + "; neither is used");
    }
    return true;
}

void NameService::resolve(const NetbiosName &name, Millis now, ResolveDone done)
{
    NetbiosName key = canonical(name);
    for (const OwnName &own : names_) {
        if (own.name != key || own.state == OwnName::State::Refused)
            continue;
        Resolved self;
        self.address = interfaces_.front().address;
        self.interface_index = interfaces_.front().index;
        self.group = own.group;
        done(true, self);
        return;
    }
    auto cached = cache_.find(key);
    if (cached != cache_.end() && cached->second.expires > now) {
        done(true, cached->second.where);
        return;
    }
    auto pending = pending_.find(key);
    if (pending != pending_.end()) {
        pending->second.waiting.push_back(std::move(done));
        return;
    }
    if (pending_.size() >= kPendingMax) {
        done(false, Resolved());
        return;
    }
    Pending p;
    p.id = next_id();
    p.tries = 1;
    p.next = now + kRetryInterval;
    p.waiting.push_back(std::move(done));
    send_query(key, p.id);
    pending_.emplace(key, std::move(p));
}

} // namespace relay
