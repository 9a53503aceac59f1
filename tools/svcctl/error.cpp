#include "error.h"

#include <cerrno>
#include <cstring>

void Fail(uint32_t code, const std::string &detail)
{
    throw SvcError(code, detail);
}

void FailErrno(const std::string &what)
{
    int err = errno;
    throw SvcError(ErrorFromErrno(err), what + ": " + std::strerror(err));
}

std::string ErrorText(uint32_t code)
{
    switch (code) {
    case kErrorFileNotFound:
        return "The system cannot find the file specified.";
    case kErrorAccessDenied:
        return "Access is denied.";
    case kErrorInvalidParameter:
        return "The parameter is incorrect.";
    case kErrorInvalidName:
        return "The filename, directory name, or volume label syntax is incorrect.";
    case kErrorBadExeFormat:
        return "The program is not a valid application.";
    case kErrorInvalidServiceControl:
        return "The requested control is not valid for this service.";
    case kErrorServiceRequestTimeout:
        return "The service did not respond to the start or control request in a timely "
               "fashion.";
    case kErrorServiceAlreadyRunning:
        return "An instance of the service is already running.";
    case kErrorServiceDoesNotExist:
        return "The specified service does not exist as an installed service.";
    case kErrorServiceCannotAcceptCtrl:
        return "The service cannot accept control messages at this time.";
    case kErrorServiceNotActive:
        return "The service has not been started.";
    case kErrorServiceSpecificError:
        return "The service has returned a service-specific error code.";
    case kErrorProcessAborted:
        return "The process terminated unexpectedly.";
    case kErrorServiceExists:
        return "The specified service already exists.";
    default:
        return "Error " + std::to_string(code) + ".";
    }
}

uint32_t ErrorFromErrno(int err)
{
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        return kErrorFileNotFound;
    case EACCES:
    case EPERM:
        return kErrorAccessDenied;
    case ENAMETOOLONG:
        return kErrorInvalidName;
    case ENOEXEC:
        return kErrorBadExeFormat;
    default:
        return 31; // ERROR_GEN_FAILURE
    }
}

std::string FormatFailure(const std::string &command, const std::string &name,
                          const SvcError &error)
{
    std::string head = "svcctl: " + command + (name.empty() ? "" : " \"" + name + "\"");
    std::string detail = error.what();
    if (error.code() == 0)
        return head + ": " + detail;
    return head + " FAILED " + std::to_string(error.code()) + ": " + ErrorText(error.code()) +
           (detail.empty() ? "" : " (" + detail + ")");
}
