// The conversation between svcctl and a service's supervising process over
// its control socket: one request line, then reply lines.
//   QUERY        -> STATUS line, then the socket closes
//   WATCH        -> STATUS line now and one for every later report; closes
//                   once the program has exited
//   CONTROL code -> ERROR line (refused), or the STATUS line that follows the
//                   handler's return, then as WATCH
// STATUS pid type state accepted win32exit serviceexit checkpoint waithint
// ERROR code
#ifndef SVCCTL_CONTROL_WIRE_H
#define SVCCTL_CONTROL_WIRE_H

#include <chrono>
#include <optional>
#include <string>

#include "service_record.h"

using Clock = std::chrono::steady_clock;

struct Reply {
    uint32_t error = 0; // nonzero: the request was refused
    long pid = 0;
    ServiceRecord record;
};

std::string StatusLine(long pid, const ServiceRecord &record);
std::string ErrorLine(uint32_t code);
std::optional<Reply> ParseReply(const std::string &line);

// Reads newline-terminated lines from a socket.
class LineReader {
public:
    enum Result { kLine, kClosed, kTimedOut };
    explicit LineReader(int fd) : fd_(fd) {}
    Result Next(std::string &line, Clock::time_point deadline);

private:
    int fd_;
    std::string buffer_;
};

#endif
