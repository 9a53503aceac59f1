// What the layer's mailslots offer its tools and tests beyond the Windows
// API: the relay's local delivery, and the accounts of senders and holders.
#ifndef PLATFORM_POSIX_MAILSLOT_EXTENSIONS_H
#define PLATFORM_POSIX_MAILSLOT_EXTENSIONS_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/platform.h"

namespace w32 {

// Puts `size` bytes into this machine's slot `slot` (in any case) as a
// broadcast message, as "\\*\mailslot\SLOT" does here, but never hands them to
// the relay: the relay's own way of delivering what came from the network.
// It never waits: NO_ERROR once a holder (or, without one, a raw socket at
// the name) took the message; ERROR_BUSY when the slot's socket is full for
// now (its reader is slow or has stopped); ERROR_FILE_NOT_FOUND when there
// is no such slot; ERROR_BAD_NETPATH over 424 bytes.
DWORD deliver_local_broadcast(const std::string &slot, const void *data, size_t size);

// What a mailslot on Linux knows and one on Windows cannot: the account of
// each sender and of the holder of each name.
//
// The account holding this machine's slot `slot` ("\\.\mailslot\NAME"),
// as the kernel names the sender of the holder's answer: NO_ERROR, or
// ERROR_FILE_NOT_FOUND when nobody holds it, ERROR_SEM_TIMEOUT when the
// holder does not answer. Nothing is written to the slot.
DWORD mailslot_holder_account(const char *slot, uid_t *account);

// Makes the mailslot `handle` (from CreateMailslotA) drop, as they arrive,
// messages from every account but `senders`.
DWORD mailslot_accept_only(HANDLE handle, const std::vector<uid_t> &senders);

// Makes this process's direct opens, direct writes and holder queries wait
// at most `ms` (never more than their usual ten seconds) on a full slot.
void mailslot_limit_waits(DWORD ms);

} // namespace w32

#endif
