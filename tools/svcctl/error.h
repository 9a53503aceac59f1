// Failures of svcctl: a Windows error code where one applies, and the words a
// user needs to act on it.
#ifndef SVCCTL_ERROR_H
#define SVCCTL_ERROR_H

#include <cstdint>
#include <stdexcept>
#include <string>

// Codes as the service control manager reports them.
enum : uint32_t {
    kErrorFileNotFound = 2,
    kErrorAccessDenied = 5,
    kErrorInvalidParameter = 87,
    kErrorInvalidName = 123,
    kErrorBadExeFormat = 193,
    kErrorInvalidServiceControl = 1052,
    kErrorServiceRequestTimeout = 1053,
    kErrorServiceAlreadyRunning = 1056,
    kErrorServiceDoesNotExist = 1060,
    kErrorServiceCannotAcceptCtrl = 1061,
    kErrorServiceNotActive = 1062,
    kErrorServiceSpecificError = 1066,
    kErrorProcessAborted = 1067,
    kErrorServiceExists = 1073,
};

class SvcError : public std::runtime_error {
public:
    // code 0: a failure with no Windows equivalent; detail says it all.
    SvcError(uint32_t code, const std::string &detail)
        : std::runtime_error(detail), code_(code) {}
    uint32_t code() const { return code_; }

private:
    uint32_t code_;
};

[[noreturn]] void Fail(uint32_t code, const std::string &detail = std::string());

// The system's text for a code, as the manager's tools print it.
std::string ErrorText(uint32_t code);

// The Windows code closest to a POSIX errno value.
uint32_t ErrorFromErrno(int err);

// One line for a failed command: svcctl: CMD "NAME" FAILED code: text (detail)
std::string FormatFailure(const std::string &command, const std::string &name,
                          const SvcError &error);

// "what: strerror(errno)", for failures of the machine itself.
[[noreturn]] void FailErrno(const std::string &what);

#endif
