// What mailslot-client does differently where the platform can tell more.
// On Linux the layer knows which account holds a slot and which sent each
// message; a Windows mailslot cannot tell, and these do nothing there.
#ifndef TOOLS_CLIENT_PLATFORM_H
#define TOOLS_CLIENT_PLATFORM_H

#include "platform/platform.h"

// False, after saying so, when the machine has no folder a service could
// listen in: the client then creates nothing.
bool MachineIsReady(void);

// For a server on this machine: false, after naming the account, when the
// server slot is held by an account that is neither root nor the one the
// service runs as. Otherwise the reply slot hReply is made to take messages
// from the holder's account and root only, so no other account can forge
// or crowd out a reply.
bool TrustServer(const char *server, HANDLE hReply);

// Makes opening the server slot, asking who holds it and writing to it wait
// at most ms for room, from now on.
void LimitSlotWaits(DWORD ms);

#endif
