// This machine's name, as the host name and as Windows reports it.
#ifndef PLATFORM_POSIX_MACHINE_NAME_H
#define PLATFORM_POSIX_MACHINE_NAME_H

#include <string>

namespace w32 {

// The first label of the host name, cut to MAX_COMPUTERNAME_LENGTH, upper case.
std::string computer_name();

// Whether `host` names this machine: its host name or its computer name,
// compared without regard to case.
bool is_this_machine(const std::string &host);

} // namespace w32

#endif
