// A machine root of the test's own, the service registered in it, and the
// commands a user would type against it.
#ifndef TESTS_SERVICE_SERVICE_FIXTURE_H
#define TESTS_SERVICE_SERVICE_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/child.h"
#include "support/files.h"
#include "support/machine_root.h"
#include "support/service_log.h"

extern const char kServiceName[]; // "Sample service"

// The history lines of an ordinary run.
extern const char kStartPending[];
extern const char kRunning[];
extern const char kStopPending[];
extern const char kStopped[];

// Whether a process has exited (a zombie counts as gone).
bool ProcessIsGone(long pid);

// How often needle occurs in text.
size_t CountOf(const std::string &text, const std::string &needle);

bool EndsWith(const std::string &text, const std::string &tail);

// The log without the lines of the client's markers, the requests it sends
// around each path: the received line, the cannot-open line and the byte
// count after it. What stays is stable even while a marker is being answered.
std::string WithoutMarkers(const std::string &log);

class ServiceTest : public ::testing::Test {
protected:
    void TearDown() override;

    RunResult Svcctl(const std::vector<std::string> &args, double timeoutSeconds = 60,
                     bool asNobody = false);
    // svcctl as another account would run it.
    RunResult SvcctlAsNobody(const std::vector<std::string> &args)
    {
        return Svcctl(args, 30, true);
    }
    RunResult Client(const std::vector<std::string> &args, double timeoutSeconds = 30);
    Spawned SpawnClient(const std::vector<std::string> &args);

    // svcctl create for the service program; asserts success.
    void Register();

    std::vector<std::string> History();
    std::string Log() const { return ReadWholeFile(LogPath(root_)); }
    // Waits until the log holds needle; false after timeoutSeconds.
    bool WaitForLog(const std::string &needle, double timeoutSeconds = 10) const
    {
        return WaitForText(LogPath(root_), needle, timeoutSeconds);
    }
    // The PID line of svcctl query; 0 when stopped.
    long QueryPid();
    // Waits until svcctl query shows no process; false after timeoutSeconds.
    bool WaitUntilStopped(double timeoutSeconds = 10);
    // A file of the test's own with these contents.
    std::string MakeFile(const std::string &name, const std::string &contents) const;

    MachineRoot machine_{0700, {"work"}};
    std::string root_ = machine_.path();
    std::string work_ = root_ + "/work"; // the test's own files and the programs' output
};

#endif
