#include "svc_error.h"

#include <cerrno>
#include <cstring>

#include "platform/posix/layer_errors.h"

void Fail(uint32_t code, const std::string &detail)
{
    throw SvcError(code, detail);
}

void FailErrno(const std::string &what)
{
    int err = errno;
    throw SvcError(w32::error_from_errno(err), what + ": " + std::strerror(err));
}
