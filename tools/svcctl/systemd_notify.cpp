#include "systemd_notify.h"

#include <systemd/sd-daemon.h>

#include <chrono>

namespace {

const char kStopping[] = "STOPPING=1";

} // namespace

void SystemdNotifier::Report(const ServiceRecord &record, long pid)
{
    if (!enabled_ || !clock_.Observe(record))
        return;

    std::string status = "STATUS=" + std::string(StateName(record.state));
    switch (record.state) {
    case SERVICE_START_PENDING:
    case SERVICE_STOP_PENDING:
    case SERVICE_CONTINUE_PENDING:
    case SERVICE_PAUSE_PENDING: {
        // systemd's own start and stop timeouts give way to a service that
        // keeps making progress within its wait hints, as the manager's do.
        auto wait = ProgressClock::AllowedWait(record);
        std::string stopping = record.state == SERVICE_STOP_PENDING && !stopping_
                                   ? std::string(kStopping) + "\n"
                                   : std::string();
        stopping_ = stopping_ || record.state == SERVICE_STOP_PENDING;
        Send(stopping + status +
             " (checkpoint " + std::to_string(record.checkPoint) + ", wait hint " +
             std::to_string(record.waitHint) + " ms)\nEXTEND_TIMEOUT_USEC=" +
             std::to_string(std::chrono::microseconds(wait).count()));
        return;
    }
    case SERVICE_STOPPED:
        Send(status + " (win32 exit code " + std::to_string(record.win32ExitCode) +
             ", service exit code " + std::to_string(record.serviceExitCode) + ")");
        return;
    default: // RUNNING or PAUSED
        std::string ready = record.state == SERVICE_RUNNING && !ready_ ? "READY=1\n" : "";
        ready_ = ready_ || record.state == SERVICE_RUNNING;
        Send(ready + status + " (pid " + std::to_string(pid) + ")");
        return;
    }
}

void SystemdNotifier::Stopping()
{
    if (enabled_ && !stopping_)
        Send(kStopping);
    stopping_ = true;
}

void SystemdNotifier::Send(const std::string &message)
{
    // A message systemd cannot take changes nothing for the service.
    sd_notify(0, message.c_str());
}
