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

// An authoritative answer of kind opcode to request, about the name it
// asks for, at this node's address on the interface it came in on.
NamePacket answer_to(const NamePacket &request, uint8_t opcode, const Interface &arrived)
{
    NamePacket p;
    p.id = request.id;
    p.response = true;
    p.opcode = opcode;
    p.authoritative = true;
    p.recursion_desired = true;
    p.has_record = true;
    p.record.name = request.question;
    p.record.address = arrived.address;
    return p;
}

} // namespace

NameService::NameService(const NetbiosName &unique, const NetbiosName &group,
                         std::vector<Interface> interfaces, NameTransport *transport,
                         uint16_t first_id)
    : unique_(canonical(unique)), group_(canonical(group)), interfaces_(std::move(interfaces)),
      transport_(transport), id_(first_id)
{
}

void NameService::start(Millis now)
{
    state_ = State::Registering;
    registration_id_ = next_id();
    registration_tries_ = 1;
    registration_next_ = now + kRetryInterval;
    broadcast_registration(false);
    broadcast_registration(true);
}

void NameService::broadcast_registration(bool group)
{
    for (const Interface &iface : interfaces_) {
        NamePacket p;
        p.id = registration_id_;
        p.opcode = kOpRegistration;
        p.recursion_desired = true;
        p.broadcast = true;
        p.has_question = true;
        p.question = group ? group_ : unique_;
        p.has_record = true;
        p.record.name = p.question;
        p.record.ttl = kTtlSeconds;
        p.record.nb_flags = group ? kNbGroup : 0;
        p.record.address = iface.address;
        transport_->send_name_packet(iface, iface.broadcast, kNamePort, build_name_packet(p));
    }
}

void NameService::release()
{
    if (state_ != State::Registered)
        return;
    for (bool group : {false, true}) {
        for (const Interface &iface : interfaces_) {
            NamePacket p;
            p.id = next_id();
            p.opcode = kOpRelease;
            p.broadcast = true;
            p.has_question = true;
            p.question = group ? group_ : unique_;
            p.has_record = true;
            p.record.name = p.question;
            p.record.nb_flags = group ? kNbGroup : 0;
            p.record.address = iface.address;
            transport_->send_name_packet(iface, iface.broadcast, kNamePort, build_name_packet(p));
        }
    }
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
    if (state_ == State::Registering && now >= registration_next_) {
        if (registration_tries_ < kBroadcastTries) {
            ++registration_tries_;
            registration_next_ = now + kRetryInterval;
            broadcast_registration(false);
            broadcast_registration(true);
        } else {
            state_ = State::Registered; // nobody objected in time
            registration_next_ = -1;
        }
    }

    for (auto it = pending_.begin(); it != pending_.end();) {
        Pending &p = it->second;
        if (now < p.next) {
            ++it;
            continue;
        }
        if (p.tries < kBroadcastTries) {
            ++p.tries;
            p.next = now + kRetryInterval;
            send_query(it->first, p.id);
            ++it;
            continue;
        }
        std::vector<ResolveDone> waiting = std::move(p.waiting);
        it = pending_.erase(it);
        for (ResolveDone &done : waiting)
            done(false, Resolved());
    }

    for (auto it = cache_.begin(); it != cache_.end();)
        it = it->second.expires <= now ? cache_.erase(it) : std::next(it);
}

Millis NameService::next_deadline() const
{
    Millis next = state_ == State::Registering ? registration_next_ : -1;
    for (const auto &entry : pending_)
        if (next < 0 || entry.second.next < next)
            next = entry.second.next;
    return next;
}

bool NameService::is_ours(const NetbiosName &name, bool *group) const
{
    NetbiosName key = canonical(name);
    *group = key == group_;
    return key == unique_ || key == group_;
}

const Interface *NameService::interface_for(uint32_t address) const
{
    for (const Interface &iface : interfaces_)
        if (iface.on_subnet(address))
            return &iface;
    return nullptr;
}

void NameService::on_packet(const NamePacket &packet, const Interface &arrived, uint32_t from,
                            uint16_t port, Millis now)
{
    if (!packet.response) {
        if (!packet.has_question)
            return;
        switch (packet.opcode) {
        case kOpQuery:
            answer_query(packet, arrived, from, port);
            break;
        case kOpRegistration:
        case kOpRefresh:
        case kOpRefreshAlt:
        case kOpMultihomed:
            defend(packet, arrived, from, port);
            break;
        case kOpRelease:
            forget(packet.question);
            break;
        }
        return;
    }

    if (packet.opcode == kOpRegistration && packet.rcode != kRcodeOk &&
        state_ == State::Registering && packet.has_record &&
        canonical(packet.record.name) == unique_) {
        state_ = State::Conflict;
        conflict_owner_ = packet.record.address ? packet.record.address : from;
        return;
    }
    if (packet.opcode == kOpQuery && packet.rcode == kRcodeOk && packet.has_record)
        take_answer(packet, arrived, now);
}

void NameService::answer_query(const NamePacket &query, const Interface &arrived, uint32_t from,
                               uint16_t port)
{
    bool group;
    if (state_ != State::Registered || query.question_type != kTypeNb ||
        !is_ours(query.question, &group))
        return;
    NamePacket p = answer_to(query, kOpQuery, arrived);
    p.record.ttl = kTtlSeconds;
    p.record.nb_flags = group ? kNbGroup : 0;
    transport_->send_name_packet(arrived, from, port, build_name_packet(p));
}

void NameService::defend(const NamePacket &request, const Interface &arrived, uint32_t from,
                         uint16_t port)
{
    if (state_ != State::Registered || canonical(request.question) != unique_)
        return;
    NamePacket p = answer_to(request, kOpRegistration, arrived);
    p.recursion_available = true;
    p.rcode = kRcodeActive;
    transport_->send_name_packet(arrived, from, port, build_name_packet(p));
}

void NameService::take_answer(const NamePacket &response, const Interface &arrived, Millis now)
{
    NetbiosName key = canonical(response.record.name);
    auto it = pending_.find(key);
    if (it == pending_.end() || it->second.id != response.id)
        return;
    Resolved where;
    where.address = response.record.address;
    where.group = (response.record.nb_flags & kNbGroup) != 0;
    const Interface *iface = interface_for(where.address);
    where.interface_index = iface ? iface->index : arrived.index;
    if (cache_.size() >= kCacheMax) {
        auto oldest = std::min_element(cache_.begin(), cache_.end(), [](const auto &a, const auto &b) {
            return a.second.expires < b.second.expires;
        });
        cache_.erase(oldest);
    }
    cache_[key] = Cached{where, now + kCacheLifetime};
    std::vector<ResolveDone> waiting = std::move(it->second.waiting);
    pending_.erase(it);
    for (ResolveDone &done : waiting)
        done(true, where);
}

void NameService::forget(const NetbiosName &name)
{
    cache_.erase(canonical(name));
}

void NameService::resolve(const NetbiosName &name, Millis now, ResolveDone done)
{
    NetbiosName key = canonical(name);
    if (key == unique_ || key == group_) {
        Resolved self;
        self.address = interfaces_.front().address;
        self.interface_index = interfaces_.front().index;
        self.group = key == group_;
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
    Pending p{next_id(), 1, now + kRetryInterval, {}};
    p.waiting.push_back(std::move(done));
    send_query(key, p.id);
    pending_.emplace(key, std::move(p));
}

} // namespace relay
