// How a svcctl command fails: an exception carrying the Windows error code
// (or none) and the detail, which main turns into the one line a user sees.
#ifndef SVCCTL_SVC_ERROR_H
#define SVCCTL_SVC_ERROR_H

#include <cstdint>
#include <stdexcept>
#include <string>

#include "platform/platform.h"

class SvcError : public std::runtime_error {
public:
    // code 0: a failure with no Windows equivalent; detail says it all.
    SvcError(uint32_t code, const std::string &detail)
        : std::runtime_error(detail), code_(code) {}
    uint32_t code() const { return code_; }

private:
    uint32_t code_;
};

// A folder of the machine root that svcctl will not use: it belongs to an
// account it does not trust, or others may write to it. Its text is the
// whole line: the folder, whose it is, and what to do.
class UntrustedDirError : public SvcError {
public:
    explicit UntrustedDirError(const std::string &line) : SvcError(ERROR_ACCESS_DENIED, line) {}
};

[[noreturn]] void Fail(uint32_t code, const std::string &detail = std::string());

// "what: strerror(errno)", with the code the platform layer gives errno.
[[noreturn]] void FailErrno(const std::string &what);

#endif
