// The status record a service reports, and the ways svcctl writes it out.
#ifndef SVCCTL_SERVICE_RECORD_H
#define SVCCTL_SERVICE_RECORD_H

#include <cstdint>
#include <optional>
#include <string>

enum : uint32_t {
    kServiceWin32OwnProcess = 0x10,
    kServiceWin32ShareProcess = 0x20,

    kStateStopped = 1,
    kStateStartPending = 2,
    kStateStopPending = 3,
    kStateRunning = 4,
    kStateContinuePending = 5,
    kStatePausePending = 6,
    kStatePaused = 7,

    kAcceptStop = 0x1,
    kAcceptPauseContinue = 0x2,
    kAcceptShutdown = 0x4,
    kAcceptParamChange = 0x8,
    kAcceptNetBindChange = 0x10,

    kControlStop = 1,
    kControlPause = 2,
    kControlContinue = 3,
    kControlInterrogate = 4,
    kControlShutdown = 5,
};

// The seven fields of SERVICE_STATUS, in their order.
struct ServiceRecord {
    uint32_t type = kServiceWin32OwnProcess;
    uint32_t state = kStateStopped;
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

#endif
