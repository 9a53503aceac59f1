// Helpers for driving the program through the POSIX layer in a machine root
// of the test's own.
#ifndef TESTS_PROGRAM_FIXTURE_H
#define TESTS_PROGRAM_FIXTURE_H

#include <string>

#include "platform/platform.h"

// Makes a fresh, empty machine root and points W32_ROOT at it.
std::string MakeMachineRoot();

// Removes a machine root made by MakeMachineRoot.
void RemoveMachineRoot(const std::string &root);

// The log file of the machine root.
std::string LogPath(const std::string &root);

// Whole contents of a file, or "" when it is missing.
std::string ReadWholeFile(const std::string &path);

// Writes bytes to a new file.
void WriteWholeFile(const std::string &path, const std::string &bytes);

// Sends one message to the server slot.
bool SendRequest(const std::string &bytes);

// Waits up to timeoutMs for one message on a reply slot; false if none came.
bool WaitForMessage(HANDLE hSlot, std::string *message, DWORD timeoutMs);

// Waits until what the file gained past offset `since` holds needle; returns that part.
std::string WaitForLogGrowth(const std::string &path, size_t since, const std::string &needle,
                             DWORD timeoutMs);

#endif
