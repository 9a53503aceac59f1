#include "netbios_name.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

namespace relay {

std::string NetbiosName::text() const
{
    std::string name(bytes.begin(), bytes.begin() + kNameChars);
    size_t end = name.find_last_not_of(' ');
    return end == std::string::npos ? std::string() : name.substr(0, end + 1);
}

std::string NetbiosName::describe() const
{
    std::string shown;
    for (char c : text())
        shown += isprint(static_cast<unsigned char>(c)) ? c : '?';
    char suffix_text[8];
    snprintf(suffix_text, sizeof suffix_text, "<%02X>", suffix());
    return shown + suffix_text;
}

bool make_name(const std::string &text, uint8_t suffix, NetbiosName *out)
{
    if (text.empty() || text.size() > kNameChars || text[0] == ' ')
        return false;
    NetbiosName name;
    name.bytes.fill(' ');
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f || strchr("\\/:*?\"<>|.", c))
            return false;
        name.bytes[i] = uint8_t(toupper(c));
    }
    name.bytes[15] = suffix;
    *out = name;
    return true;
}

bool same_name_any_suffix(const NetbiosName &a, const NetbiosName &b)
{
    for (size_t i = 0; i < kNameChars; ++i)
        if (toupper(a.bytes[i]) != toupper(b.bytes[i]))
            return false;
    return true;
}

bool same_name(const NetbiosName &a, const NetbiosName &b)
{
    return a.suffix() == b.suffix() && same_name_any_suffix(a, b);
}

void encode_name(const NetbiosName &name, Writer *out)
{
    out->u8(0x20);
    for (uint8_t byte : name.bytes) {
        out->u8(uint8_t('A' + (byte >> 4)));
        out->u8(uint8_t('A' + (byte & 0x0f)));
    }
    out->u8(0x00);
}

Parse decode_name(Reader *in, NetbiosName *out)
{
    uint8_t length;
    const uint8_t *letters;
    uint8_t terminator;
    if (!in->u8(&length) || length != 0x20 || !in->bytes(32, &letters) || !in->u8(&terminator) ||
        terminator != 0x00)
        return Parse::Malformed;
    for (size_t i = 0; i < 16; ++i) {
        uint8_t high = uint8_t(letters[2 * i] - 'A');
        uint8_t low = uint8_t(letters[2 * i + 1] - 'A');
        if (high > 0x0f || low > 0x0f)
            return Parse::Malformed;
        out->bytes[i] = uint8_t(high << 4 | low);
    }
    return Parse::Ok;
}

} // namespace relay
