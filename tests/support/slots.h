// Mailslots from both ends: sockets at a path, as any local program may make
// them (a raw datagram to a slot's socket file, say), and a message awaited
// on a slot held through the layer.
#ifndef TESTS_SUPPORT_SLOTS_H
#define TESTS_SUPPORT_SLOTS_H

#include <string>

#include "platform/platform.h"

// A socket of `type` (SOCK_DGRAM, SOCK_STREAM) bound at path; -1 on failure.
int BindSocket(const std::string &path, int type);

// A datagram socket connected to the socket file at path; -1 on failure.
int ConnectDatagram(const std::string &path);

// One datagram to the socket file at path; false when it is refused.
bool SendDatagram(const std::string &path, const std::string &bytes);

// Waits for the next message on slot and takes it; false when none came
// within timeoutSeconds, or it could not be read.
bool WaitForMessage(HANDLE slot, std::string *message, double timeoutSeconds);

#endif
