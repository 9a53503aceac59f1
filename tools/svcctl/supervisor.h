// The supervising process of a running service: starts the program, records
// every status report, relays controls from svcctl's other commands and from
// signals, and notices the program's exit.
#ifndef SVCCTL_SUPERVISOR_H
#define SVCCTL_SUPERVISOR_H

#include <optional>
#include <string>

#include "program_launch.h"
#include "service_store.h"

struct SupervisorSetup {
    const ServiceDir *dir = nullptr;
    std::string program;
    CheckedProgram checked; // the file program named when it was checked, run as it is
    std::optional<Account> account; // the one it runs as, when not the caller's
    w32::UniqueFd lock;     // held until the program has exited
    w32::UniqueFd listener; // the control socket, already listening
    w32::UniqueFd history;  // emptied, open for appending
    // svcctl run: says on stdout how the service fares, and tells systemd
    // when it started svcctl with a notification socket.
    bool foreground = false;
};

// Returns once the program has exited: 0 when the service ran and stopped
// cleanly, 1 otherwise.
int Supervise(SupervisorSetup setup);

#endif
