#include "control_rules.h"

#include "error.h"

uint32_t ControlRefusal(uint32_t code, const ServiceRecord &current)
{
    if (current.state == kStateStopped)
        return kErrorServiceNotActive;

    uint32_t needs = 0;
    if (code == kControlInterrogate || (code >= 128 && code <= 255))
        return 0; // always delivered
    if (code == kControlStop)
        needs = kAcceptStop;
    else if (code == kControlPause || code == kControlContinue)
        needs = kAcceptPauseContinue;
    else if (code == 6) // SERVICE_CONTROL_PARAMCHANGE
        needs = kAcceptParamChange;
    else if (code >= 7 && code <= 10) // SERVICE_CONTROL_NETBIND*
        needs = kAcceptNetBindChange;
    else
        return kErrorInvalidParameter; // shutdown and the rest are the system's alone

    if ((current.controlsAccepted & needs) == 0)
        return kErrorInvalidServiceControl;
    return 0;
}
