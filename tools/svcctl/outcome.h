// What svcctl tells the user when a service did not end up where it was sent.
#ifndef SVCCTL_OUTCOME_H
#define SVCCTL_OUTCOME_H

#include "error.h"
#include "service_record.h"

// A service that stopped with record as its last report; reachedRunning says
// whether it had been running, program is what it runs.
SvcError StopError(const ServiceRecord &record, bool reachedRunning, const std::string &program);

// A service still in a pending state past its wait hint.
SvcError StallError(const ServiceRecord &record);

#endif
