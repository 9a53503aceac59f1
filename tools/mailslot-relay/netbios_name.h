// NetBIOS names: 15 characters, upper-cased and space-padded, then a suffix
// byte; on the wire first-level encoded into 34 bytes (a length byte 0x20,
// 32 letters 'A'..'P', and the empty scope's terminating 0x00).
#ifndef MAILSLOT_RELAY_NETBIOS_NAME_H
#define MAILSLOT_RELAY_NETBIOS_NAME_H

#include <stdint.h>

#include <array>
#include <string>

#include "wire.h"

namespace relay {

constexpr size_t kNameChars = 15;
constexpr size_t kEncodedNameBytes = 34;

struct NetbiosName {
    std::array<uint8_t, 16> bytes{}; // 15 padded characters, then the suffix

    uint8_t suffix() const { return bytes[15]; }
    // The characters without their padding, e.g. "HOSTA".
    std::string text() const;
    // As people write it: "HOSTA<00>".
    std::string describe() const;
    bool operator==(const NetbiosName &other) const { return bytes == other.bytes; }
    bool operator!=(const NetbiosName &other) const { return !(*this == other); }
    bool operator<(const NetbiosName &other) const { return bytes < other.bytes; }
};

// Makes the name `text` with `suffix`: false when `text` is empty, longer
// than 15 characters or holds a character a NetBIOS name may not
// (control characters and \ / : * ? " < > | . and space at the start).
bool make_name(const std::string &text, uint8_t suffix, NetbiosName *out);

// The same 15 characters, compared without regard to case, and any suffix.
bool same_name_any_suffix(const NetbiosName &a, const NetbiosName &b);

// The same characters (without regard to case) and the same suffix.
bool same_name(const NetbiosName &a, const NetbiosName &b);

void encode_name(const NetbiosName &name, Writer *out);

// Decodes one uncompressed name with an empty scope at the reader's offset.
// A label pointer, a scope or a letter outside 'A'..'P' is malformed.
Parse decode_name(Reader *in, NetbiosName *out);

} // namespace relay

#endif
