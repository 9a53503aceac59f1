// What svcctl shows a user: the status record a service reports, in the
// layouts of its history and of the manager's query listing, and the one line
// that says why a command failed, with the Windows error code where one
// applies.
#ifndef SVCCTL_STATUS_OUTPUT_H
#define SVCCTL_STATUS_OUTPUT_H

#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "svc_error.h"

// The seven fields of SERVICE_STATUS, in their order.
struct ServiceRecord {
    uint32_t type = SERVICE_WIN32_OWN_PROCESS;
    uint32_t state = SERVICE_STOPPED;
    uint32_t controlsAccepted = 0;
    uint32_t win32ExitCode = 0;
    uint32_t serviceExitCode = 0;
    uint32_t checkPoint = 0;
    uint32_t waitHint = 0;

    static ServiceRecord FromWords(const uint32_t words[7]);
};

const char *StateName(uint32_t state); // "RUNNING"; empty for no state

// The seven fields as decimal numbers, space-separated: one history line.
std::string FormatRecordWords(const ServiceRecord &record);
std::optional<ServiceRecord> ParseRecordWords(const std::string &text);

// The record in the layout of the manager's query listing, with the process id.
std::string FormatQuery(const std::string &name, const ServiceRecord &record, long pid);
// The line of the manager's configuration listing that names the account the
// service runs as.
std::string FormatStartName(const std::string &account);

// The system's text for a code, as the manager's tools print it.
std::string ErrorText(uint32_t code);

// One line for a failed command: svcctl: CMD "NAME" FAILED code: text (detail)
std::string FormatFailure(const std::string &command, const std::string &name,
                          const SvcError &error);

// A service that stopped with record as its last report; reachedRunning says
// whether it had been running, program is what it runs.
SvcError StopError(const ServiceRecord &record, bool reachedRunning, const std::string &program);

// A service still in a pending state past its wait hint.
SvcError StallError(const ServiceRecord &record);

#endif
