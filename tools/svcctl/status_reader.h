// Reading a service's status: from its supervising process while it runs,
// from its history once it has stopped.
#ifndef SVCCTL_STATUS_READER_H
#define SVCCTL_STATUS_READER_H

#include "control_wire.h"
#include "service_store.h"

enum class Got { kReply, kClosed, kTimedOut };

// The next reply on a connection to the supervising process.
Got NextReply(LineReader &reader, Clock::time_point deadline, Reply &reply);

// Waits until the supervising process closes the connection, which it does
// once the program has exited. False when limit passes first.
bool WaitForClose(LineReader &reader, Clock::duration limit);

// The current status and process id: asked of the supervising process, or,
// when none runs, the last report of the history. A service whose last report
// is not SERVICE_STOPPED has died with its supervisor, and is shown stopped.
Reply CurrentStatus(const ServiceDir &dir);

#endif
