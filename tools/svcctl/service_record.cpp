#include "service_record.h"

#include <cstdio>
#include <sstream>

ServiceRecord ServiceRecord::FromWords(const uint32_t words[7])
{
    return ServiceRecord{words[0], words[1], words[2], words[3], words[4], words[5], words[6]};
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

const char *StateName(uint32_t state)
{
    static const char *const names[] = {"",        "STOPPED",          "START_PENDING",
                                        "STOP_PENDING", "RUNNING",     "CONTINUE_PENDING",
                                        "PAUSE_PENDING", "PAUSED"};
    return state < sizeof names / sizeof names[0] ? names[state] : "";
}

namespace {

const char *TypeName(uint32_t type)
{
    switch (type) {
    case kServiceWin32OwnProcess:
        return "WIN32_OWN_PROCESS";
    case kServiceWin32ShareProcess:
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
           ((r.controlsAccepted & kAcceptStop) ? "STOPPABLE" : "NOT_STOPPABLE") + ", " +
           ((r.controlsAccepted & kAcceptPauseContinue) ? "PAUSABLE" : "NOT_PAUSABLE") + ", " +
           ((r.controlsAccepted & kAcceptShutdown) ? "ACCEPTS_SHUTDOWN" : "IGNORES_SHUTDOWN") +
           ")\n";
    out += Line("WIN32_EXIT_CODE", DecimalAndHex(r.win32ExitCode));
    out += Line("SERVICE_EXIT_CODE", DecimalAndHex(r.serviceExitCode));
    out += Line("CHECKPOINT", Hex(r.checkPoint));
    out += Line("WAIT_HINT", Hex(r.waitHint));
    out += Line("PID", std::to_string(pid));
    return out;
}
