#include "outcome.h"

#include <string>

SvcError StopError(const ServiceRecord &r, bool reachedRunning, const std::string &program)
{
    if (r.win32ExitCode == kErrorBadExeFormat)
        return SvcError(r.win32ExitCode, program + " is not a program this system can run: "
                                                   "no known binary format and no #! line");
    std::string when = reachedRunning ? "the service stopped" : "the service stopped while starting";
    if (r.win32ExitCode == kErrorServiceSpecificError)
        return SvcError(r.win32ExitCode,
                        when + ", service exit code " + std::to_string(r.serviceExitCode));
    if (r.win32ExitCode != 0)
        return SvcError(r.win32ExitCode, when);
    return SvcError(0, when + " (exit code 0): its log says why");
}

SvcError StallError(const ServiceRecord &r)
{
    return SvcError(kErrorServiceRequestTimeout,
                    std::string("still ") + StateName(r.state) + " at checkpoint " +
                        std::to_string(r.checkPoint) + " after its wait hint of " +
                        std::to_string(r.waitHint) + " ms");
}
