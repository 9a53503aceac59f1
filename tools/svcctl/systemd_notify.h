// What `svcctl run` tells systemd when systemd started it as a unit of
// Type=notify (NOTIFY_SOCKET set): ready once the service runs, the pending
// states and their progress as the unit's status text, and stopping once a
// stop begins. Without NOTIFY_SOCKET it sends nothing.
#ifndef SVCCTL_SYSTEMD_NOTIFY_H
#define SVCCTL_SYSTEMD_NOTIFY_H

#include <string>

#include "control_wire.h"
#include "status_output.h"

class SystemdNotifier {
public:
    // enabled: this is the process systemd started and watches (svcctl run).
    explicit SystemdNotifier(bool enabled) : enabled_(enabled) {}

    // A report of the service, run by process pid. One that repeats the
    // state and checkpoint of the last, as an interrogation gives, says
    // nothing new and is not passed on.
    void Report(const ServiceRecord &record, long pid);
    // A stop control has reached the service.
    void Stopping();

private:
    void Send(const std::string &message);

    bool enabled_;
    bool ready_ = false;
    bool stopping_ = false;
    ProgressClock clock_; // only to tell which reports made progress
};

#endif
