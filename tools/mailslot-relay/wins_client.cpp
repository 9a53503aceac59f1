#include "wins_client.h"

#include <ctype.h>

#include <algorithm>

namespace relay {
namespace {

constexpr uint8_t kRcodeNameError = 3; // the server knows no such name

NetbiosName upper(NetbiosName name)
{
    for (size_t i = 0; i < kNameChars; ++i)
        name.bytes[i] = uint8_t(toupper(name.bytes[i]));
    return name;
}

std::string rcode_text(uint8_t rcode)
{
    switch (rcode) {
    case 1: return "format error";
    case 2: return "server failure";
    case 3: return "no such name";
    case 4: return "unsupported request";
    case 5: return "refused";
    case 6: return "held by another node";
    case 7: return "name in conflict";
    }
    return "error " + std::to_string(rcode);
}

} // namespace

WinsClient::WinsClient(uint32_t server, const Interface &from, const std::vector<OwnName> &names,
                       NameTransport *transport, uint16_t first_id)
    : server_(server), from_(from), transport_(transport), id_(first_id)
{
    for (const OwnName &own : names) {
        Registration r;
        r.name = upper(own.name);
        r.group = own.group;
        names_.push_back(r);
    }
}

void WinsClient::send_request(const Registration &r, uint8_t opcode, uint16_t id, uint32_t ttl)
{
    NamePacket p;
    p.id = id;
    p.opcode = opcode;
    p.recursion_desired = opcode != kOpRelease;
    p.has_question = true;
    p.question = r.name;
    p.has_record = true;
    p.record.name = r.name;
    p.record.ttl = ttl;
    p.record.nb_flags = uint16_t(kHybridNode | (r.group ? kNbGroup : 0));
    p.record.address = from_.address;
    transport_->send_name_packet(from_, server_, kNamePort, build_name_packet(p));
}

void WinsClient::begin(Registration &r, uint8_t opcode, Millis now)
{
    r.state = Registration::State::Registering;
    r.opcode = opcode;
    r.id = next_id();
    r.tries = 1;
    r.next = now + kRetryInterval;
    send_request(r, opcode, r.id, NameService::kTtlSeconds);
}

void WinsClient::start(Millis now)
{
    for (Registration &r : names_)
        begin(r, kOpRegistration, now);
}

void WinsClient::release()
{
    for (Registration &r : names_) {
        if (r.state == Registration::State::Held)
            send_request(r, kOpRelease, next_id(), 0);
        r.state = Registration::State::Waiting;
        r.next = -1;
    }
}

bool WinsClient::registered(const NetbiosName &name) const
{
    NetbiosName key = upper(name);
    for (const Registration &r : names_)
        if (r.name == key && r.state == Registration::State::Held)
            return true;
    return false;
}

void WinsClient::tick(Millis now)
{
    bool silent = false;
    for (Registration &r : names_) {
        if (r.next < 0 || now < r.next)
            continue;
        if (r.state == Registration::State::Held || r.state == Registration::State::Waiting) {
            begin(r, r.state == Registration::State::Held ? kOpRefresh : kOpRegistration, now);
        } else if (r.tries < kTries) { // Registering: the same request again
            ++r.tries;
            r.next = now + kRetryInterval;
            send_request(r, r.opcode, r.id, NameService::kTtlSeconds);
        } else { // the server did not answer: try again later
            silent = true;
            r.state = Registration::State::Waiting;
            r.next = now + kRetryLater;
        }
    }
    if (silent && !silent_) // once until it answers again, not every retry
        note("the WINS server " + ip_text(server_) + " does not answer; names are known on this "
             "subnet only until it does");
    silent_ = silent_ || silent;

    for (auto it = queries_.begin(); it != queries_.end();) {
        Query &q = it->second;
        if (now < q.next) {
            ++it;
        } else if (q.tries < kTries) {
            ++q.tries;
            q.next = now + kRetryInterval;
            send_query(it->first, q.id);
            ++it;
        } else {
            finish_query(it++, Answer::Silent, Resolved());
        }
    }
}

Millis WinsClient::next_deadline() const
{
    Millis next = -1;
    for (const Registration &r : names_)
        if (r.next >= 0 && (next < 0 || r.next < next))
            next = r.next;
    for (const auto &entry : queries_)
        if (next < 0 || entry.second.next < next)
            next = entry.second.next;
    return next;
}

bool WinsClient::on_packet(const NamePacket &packet, uint32_t from, uint16_t port, Millis now)
{
    if (!packet.response || from != server_ || port != kNamePort)
        return false;
    if (packet.opcode == kOpQuery)
        return take_query_answer(packet);
    return take_registration_answer(packet, now);
}

// The server's answer to a registration or refresh we have outstanding: a
// grant (held until half its TTL, then refreshed), a refusal, or a WACK
// (the server checks with the name's holder: wait as it says, within
// bounds, without asking again).
bool WinsClient::take_registration_answer(const NamePacket &packet, Millis now)
{
    const NetbiosName *named = packet.has_record ? &packet.record.name
                               : packet.has_question ? &packet.question : nullptr;
    if (!named)
        return false;
    NetbiosName key = upper(*named);
    for (Registration &r : names_) {
        if (r.state != Registration::State::Registering || r.id != packet.id || r.name != key)
            continue;
        if (packet.opcode == kOpWack) {
            Millis wait = std::min<Millis>(Millis(packet.has_record ? packet.record.ttl : 0) * 1000,
                                           kWackMax);
            r.tries = kTries; // no repeat after a WACK: its end is the request's end
            r.next = now + std::max(wait, kRetryInterval);
            return true;
        }
        bool refresh = r.opcode == kOpRefresh;
        if ((packet.opcode != kOpRegistration && packet.opcode != kOpRefresh &&
             packet.opcode != kOpRefreshAlt))
            return false;
        if (packet.rcode != kRcodeOk) {
            if (refresh) { // the server forgot the name: register it anew
                note("the WINS server " + ip_text(server_) + " refuses to refresh " +
                     r.name.describe() + " (" + rcode_text(packet.rcode) + "); registering it again");
                begin(r, kOpRegistration, now);
                return true;
            }
            r.state = Registration::State::Refused;
            r.next = -1;
            note("the WINS server " + ip_text(server_) + " refuses " + r.name.describe() + " (" +
                 rcode_text(packet.rcode) + "): hosts on other subnets cannot find it by that name");
            return true;
        }
        uint32_t ttl = packet.has_record ? packet.record.ttl : NameService::kTtlSeconds;
        ttl = std::min(std::max(ttl, kTtlMinSeconds), kTtlMaxSeconds);
        r.state = Registration::State::Held;
        r.next = now + Millis(ttl) * 1000 / 2;
        silent_ = false;
        if (!refresh)
            note("the WINS server " + ip_text(server_) + " grants " + r.name.describe() +
                 (r.group ? " (group)" : "") + " for " + std::to_string(ttl) + " s");
        return true;
    }
    return false;
}

void WinsClient::send_query(const NetbiosName &name, uint16_t id)
{
    NamePacket p;
    p.id = id;
    p.opcode = kOpQuery;
    p.recursion_desired = true;
    p.has_question = true;
    p.question = name;
    transport_->send_name_packet(from_, server_, kNamePort, build_name_packet(p));
}

void WinsClient::resolve(const NetbiosName &name, Millis now, QueryDone done)
{
    NetbiosName key = upper(name);
    auto pending = queries_.find(key);
    if (pending != queries_.end()) {
        pending->second.waiting.push_back(std::move(done));
        return;
    }
    if (queries_.size() >= kPendingMax) {
        done(Answer::Silent, Resolved());
        return;
    }
    Query q;
    q.id = next_id();
    q.tries = 1;
    q.next = now + kRetryInterval;
    q.waiting.push_back(std::move(done));
    send_query(key, q.id);
    queries_.emplace(key, std::move(q));
}

// The server's answer to a query of ours, by id and name. A unique name at
// an address no single host has is no answer.
bool WinsClient::take_query_answer(const NamePacket &packet)
{
    const NetbiosName *named = packet.has_record ? &packet.record.name
                               : packet.has_question ? &packet.question : nullptr;
    if (!named)
        return false;
    auto it = queries_.find(upper(*named));
    if (it == queries_.end() || it->second.id != packet.id)
        return false;
    if (packet.rcode != kRcodeOk) {
        finish_query(it, packet.rcode == kRcodeNameError ? Answer::NotFound : Answer::Silent,
                     Resolved());
        return true;
    }
    if (!packet.has_record)
        return false;
    Resolved where;
    where.group = (packet.record.nb_flags & kNbGroup) != 0;
    where.address = packet.record.address;
    where.interface_index = from_.index;
    if (!where.group && !is_host_address(where.address)) {
        note("the WINS server " + ip_text(server_) + " gives " + ip_text(where.address) +
             " for " + it->first.describe() + "; not used");
        finish_query(it, Answer::Silent, Resolved());
        return true;
    }
    finish_query(it, Answer::Found, where);
    return true;
}

void WinsClient::finish_query(std::map<NetbiosName, Query>::iterator it, Answer answer,
                              const Resolved &where)
{
    std::vector<QueryDone> waiting = std::move(it->second.waiting);
    queries_.erase(it);
    for (QueryDone &done : waiting)
        done(answer, where);
}

} // namespace relay
