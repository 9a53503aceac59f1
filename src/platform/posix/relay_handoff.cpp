#include "platform/posix/relay_handoff.h"

#include <string.h>

namespace w32 {
namespace {

// Splits off the first space-separated word of `rest`.
std::string next_word(std::string *rest)
{
    size_t space = rest->find(' ');
    std::string word = rest->substr(0, space);
    rest->erase(0, space == std::string::npos ? rest->size() : space + 1);
    return word;
}

} // namespace

bool parse_handoff_request(const uint8_t *bytes, size_t size, HandoffRequest *out)
{
    const char *text = reinterpret_cast<const char *>(bytes);
    const void *newline = memchr(bytes, '\n', size);
    size_t header_size = newline ? size_t(static_cast<const uint8_t *>(newline) - bytes) : size;
    std::string rest(text, header_size);
    if (rest.find('\0') != std::string::npos)
        return false;
    std::string verb = next_word(&rest);
    *out = HandoffRequest();
    if (verb == "resolve") {
        out->kind = HandoffRequest::Kind::Resolve;
        out->target = rest;
        return !newline && !out->target.empty();
    }
    if (verb != "send" || !newline)
        return false;
    std::string kind = next_word(&rest);
    if (kind == "unique" || kind == "group") {
        out->kind = kind == "unique" ? HandoffRequest::Kind::SendUnique
                                     : HandoffRequest::Kind::SendGroup;
        out->target = next_word(&rest);
        if (out->target.empty())
            return false;
    } else if (kind == "all") {
        out->kind = HandoffRequest::Kind::SendAll;
    } else {
        return false;
    }
    out->slot = rest;
    out->data.assign(bytes + header_size + 1, bytes + size);
    return !out->slot.empty();
}

std::string format_handoff_request(const HandoffRequest &request)
{
    std::string text;
    switch (request.kind) {
    case HandoffRequest::Kind::Resolve:
        return "resolve " + request.target;
    case HandoffRequest::Kind::SendUnique:
        text = "send unique " + request.target + " ";
        break;
    case HandoffRequest::Kind::SendGroup:
        text = "send group " + request.target + " ";
        break;
    case HandoffRequest::Kind::SendAll:
        text = "send all ";
        break;
    }
    text += request.slot + "\n";
    text.append(request.data.begin(), request.data.end());
    return text;
}

std::string handoff_machine_reply(const std::string &address)
{
    return "ok " + address;
}

Resolved parse_resolve_reply(const std::string &reply)
{
    if (reply == kHandoffGroup)
        return Resolved::Group;
    return reply.compare(0, 3, "ok ") == 0 ? Resolved::Machine : Resolved::Nothing;
}

} // namespace w32
