// The service started in a machine root of the test's own, and what the
// load, fault and security tests do around it: child processes (as this
// account or as nobody), raw datagrams, the service's memory, and checks
// that every log line is whole.
#ifndef TESTS_RELIABILITY_RELIABILITY_FIXTURE_H
#define TESTS_RELIABILITY_RELIABILITY_FIXTURE_H

#include <string>
#include <vector>

#include "service_fixture.h"
#include "support/slots.h"

extern const char kServerSlot[]; // "\\.\mailslot\$Channel1$"

// Whether this process may act as nobody and mount file systems.
bool IsRoot();

// A field of /proc/PID/status in KiB ("VmRSS", "VmHWM"); -1 when unknown.
long MemoryKiB(long pid, const char *field);

// Every CR LF-ended line of the log is one the service writes: fixed texts,
// those made around one of `paths`, or a client's marker lines. Returns the first other line, or ""
// when there is none.
std::string FirstForeignLine(const std::string &log, const std::vector<std::string> &paths);

class ReliabilityTest : public ServiceTest {
protected:
    // Registers and starts the service and waits until its loop runs.
    void StartService();
    // Asks for the count of path; expects the given reply on stdout.
    void ExpectCount(const std::string &path, const std::string &reply, double timeoutSeconds = 20);
    // A sparse file of `size` bytes: "a b c" at its start, " z " at its end
    // and a hole between, 4 spaces in all.
    std::string MakeSparseFile(const std::string &name, long long size) const;
    // Waits until the log holds needle at least n times.
    bool WaitForCount(const std::string &needle, size_t n, double timeoutSeconds) const;
    std::string SlotPath() const { return root_ + "/mailslot/$Channel1$"; }
};

#endif
