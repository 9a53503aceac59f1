// Driving the program through the POSIX layer in a machine root of the
// test's own.
#ifndef TESTS_PROGRAM_FIXTURE_H
#define TESTS_PROGRAM_FIXTURE_H

#include <string>

#include <gtest/gtest.h>

#include "support/files.h"
#include "support/machine_root.h"
#include "support/service_log.h"
#include "support/slots.h"

// A test in a machine root of its own, which other accounts may enter.
class ProgramTest : public ::testing::Test {
protected:
    MachineRoot machine_{0755};
    const std::string root = machine_.path();
};

// Sends one message to the server slot.
bool SendRequest(const std::string &bytes);

#endif
