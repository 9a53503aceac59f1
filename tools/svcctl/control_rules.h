// Which controls the manager passes on to a service.
#ifndef SVCCTL_CONTROL_RULES_H
#define SVCCTL_CONTROL_RULES_H

#include <cstdint>

#include "service_record.h"

// 0 when code may be sent to a service in the state current describes;
// otherwise the error the request is refused with.
uint32_t ControlRefusal(uint32_t code, const ServiceRecord &current);

#endif
