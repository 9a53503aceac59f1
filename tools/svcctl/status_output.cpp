#include "status_output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>


ServiceRecord ServiceRecord::FromWords(const uint32_t words[7])
{
    return ServiceRecord{words[0], words[1], words[2], words[3], words[4], words[5], words[6]};
}

const char *StateName(uint32_t state)
{
    static const char *const names[] = {"",        "STOPPED",          "START_PENDING",
                                        "STOP_PENDING", "RUNNING",     "CONTINUE_PENDING",
                                        "PAUSE_PENDING", "PAUSED"};
    return state < sizeof names / sizeof names[0] ? names[state] : "";
}

std::string FormatRecordWords(const ServiceRecord &r)
{
    std::ostringstream out;
    out << r.type << ' ' << r.state << ' ' << r.controlsAccepted << ' ' << r.win32ExitCode << ' '
        << r.serviceExitCode << ' ' << r.checkPoint << ' ' << r.waitHint;
    return out.str();
}

std::optional<ServiceRecord> ParseRecordWords(const std::string &text)
{
    std::istringstream in(text);
    unsigned long long w[7];
    for (auto &word : w) {
        if (!(in >> word) || word > 0xFFFFFFFFull)
            return std::nullopt;
    }
    std::string rest;
    if (in >> rest)
        return std::nullopt;
    uint32_t words[7];
    for (int i = 0; i < 7; i++)
        words[i] = static_cast<uint32_t>(w[i]);
    return ServiceRecord::FromWords(words);
}

namespace {

const char *TypeName(uint32_t type)
{
    switch (type) {
    case SERVICE_WIN32_OWN_PROCESS:
        return "WIN32_OWN_PROCESS";
    case SERVICE_WIN32_SHARE_PROCESS:
        return "WIN32_SHARE_PROCESS";
    default:
        return "";
    }
}

std::string Line(const char *label, const std::string &value)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "        %-19s: ", label);
    return buf + value + "\n";
}

std::string DecimalAndHex(uint32_t value)
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "%u  (0x%x)", value, value);
    return buf;
}

std::string Hex(uint32_t value)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", value);
    return buf;
}

} // namespace

std::string FormatQuery(const std::string &name, const ServiceRecord &r, long pid)
{
    char buf[32];
    std::string out = "SERVICE_NAME: " + name + "\n";
    std::snprintf(buf, sizeof buf, "%x  ", r.type);
    out += Line("TYPE", buf + std::string(TypeName(r.type)));
    out += Line("STATE", std::to_string(r.state) + "  " + StateName(r.state));
    out += std::string(32, ' ') + "(" +
           ((r.controlsAccepted & SERVICE_ACCEPT_STOP) ? "STOPPABLE" : "NOT_STOPPABLE") + ", " +
           ((r.controlsAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE) ? "PAUSABLE" : "NOT_PAUSABLE") +
           ", " +
           ((r.controlsAccepted & SERVICE_ACCEPT_SHUTDOWN) ? "ACCEPTS_SHUTDOWN"
                                                           : "IGNORES_SHUTDOWN") +
           ")\n";
    out += Line("WIN32_EXIT_CODE", DecimalAndHex(r.win32ExitCode));
    out += Line("SERVICE_EXIT_CODE", DecimalAndHex(r.serviceExitCode));
    out += Line("CHECKPOINT", Hex(r.checkPoint));
    out += Line("WAIT_HINT", Hex(r.waitHint));
    out += Line("PID", std::to_string(pid));
    return out;
}

std::string FormatStartName(const std::string &account)
{
    return Line("SERVICE_START_NAME", account);
}

std::string ErrorText(uint32_t code)
{
    // svcctl's own refusals, and every code the layer gives an errno value.
    static const struct {
        uint32_t code;
        const char *text;
    } texts[] = {
        {ERROR_INVALID_FUNCTION, "Incorrect function."},
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
        {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
        {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file."},
        {ERROR_ACCESS_DENIED, "Access is denied."},
        {ERROR_INVALID_HANDLE, "The handle is invalid."},
        {ERROR_NOT_ENOUGH_MEMORY,
         "Not enough memory resources are available to process this command."},
        {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
        {ERROR_SHARING_VIOLATION,
         "The process cannot access the file because it is being used by another process."},
        {ERROR_HANDLE_DISK_FULL, "The disk is full."},
        {ERROR_NOT_SUPPORTED, "The request is not supported."},
        {ERROR_FILE_EXISTS, "The file exists."},
        {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
        {ERROR_BROKEN_PIPE, "The pipe has been ended."},
        {ERROR_DISK_FULL, "There is not enough space on the disk."},
        {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired."},
        {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
        {ERROR_BUSY, "The requested resource is in use."},
        {ERROR_BAD_EXE_FORMAT, "The program is not a valid application."},
        {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
        {ERROR_NO_DATA, "The pipe is being closed."},
        {ERROR_INVALID_SERVICE_CONTROL, "The requested control is not valid for this service."},
        {ERROR_SERVICE_REQUEST_TIMEOUT,
         "The service did not respond to the start or control request in a timely fashion."},
        {ERROR_SERVICE_ALREADY_RUNNING, "An instance of the service is already running."},
        {ERROR_INVALID_SERVICE_ACCOUNT, "The account name is invalid or does not exist, or the "
                                        "password is invalid for the account name specified."},
        {ERROR_SERVICE_DOES_NOT_EXIST,
         "The specified service does not exist as an installed service."},
        {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, "The service cannot accept control messages at this time."},
        {ERROR_SERVICE_NOT_ACTIVE, "The service has not been started."},
        {ERROR_SERVICE_SPECIFIC_ERROR, "The service has returned a service-specific error code."},
        {ERROR_PROCESS_ABORTED, "The process terminated unexpectedly."},
        {ERROR_SERVICE_EXISTS, "The specified service already exists."},
        {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error."},
    };
    for (const auto &entry : texts) {
        if (entry.code == code)
            return entry.text;
    }
    return "Error " + std::to_string(code) + ".";
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

SvcError StopError(const ServiceRecord &r, bool reachedRunning, const std::string &program)
{
    if (r.win32ExitCode == ERROR_BAD_EXE_FORMAT)
        return SvcError(r.win32ExitCode, program + " is not a program this system can run: "
                                                   "no known binary format and no #! line");
    std::string when = reachedRunning ? "the service stopped" : "the service stopped while starting";
    if (r.win32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR)
        return SvcError(r.win32ExitCode,
                        when + ", service exit code " + std::to_string(r.serviceExitCode));
    if (r.win32ExitCode != 0)
        return SvcError(r.win32ExitCode, when);
    return SvcError(0, when + " (exit code 0): its log says why");
}

SvcError StallError(const ServiceRecord &r)
{
    return SvcError(ERROR_SERVICE_REQUEST_TIMEOUT,
                    std::string("still ") + StateName(r.state) + " at checkpoint " +
                        std::to_string(r.checkPoint) + " after its wait hint of " +
                        std::to_string(r.waitHint) + " ms");
}
