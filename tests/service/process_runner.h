// Runs the project's programs as a user would, with their output captured.
#ifndef TESTS_SERVICE_PROCESS_RUNNER_H
#define TESTS_SERVICE_PROCESS_RUNNER_H

#include <sys/types.h>

#include <string>
#include <vector>

struct RunResult {
    int exitCode = -1; // -1: killed by a signal, or still running at the timeout
    std::string out;
    std::string err;
    double seconds = 0;
};

// A program started in the background; its output goes to files in dir.
struct Spawned {
    pid_t pid = -1;
    std::string outPath;
    std::string errPath;
};

Spawned Spawn(const std::vector<std::string> &argv, const std::string &dir);

// Waits for a spawned program; kills it when it outlives timeoutSeconds.
RunResult Wait(const Spawned &spawned, double timeoutSeconds);

// Spawn and Wait in one.
RunResult RunProgram(const std::vector<std::string> &argv, const std::string &dir,
                     double timeoutSeconds = 30);

#endif
