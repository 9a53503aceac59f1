// The conversation between svcctl and a service's supervising process over
// its control socket, a Unix stream socket in the service's private
// directory: one request line, then reply lines.
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

#include "platform/posix/unique_fd.h"
#include "status_output.h"

// A control code as svcctl's command line and the CONTROL request give it:
// decimal digits only, 1 to 2^32 - 1.
bool ParseControlCode(const std::string &digits, uint32_t &code);

// The request lines, without their newline.
constexpr char kQueryRequest[] = "QUERY";
constexpr char kWatchRequest[] = "WATCH";
std::string ControlRequest(uint32_t code);
// The code of a CONTROL request; false for any other line.
bool ParseControlRequest(const std::string &request, uint32_t &code);

struct Reply {
    uint32_t error = 0; // nonzero: the request was refused
    long pid = 0;
    ServiceRecord record;
};

std::string StatusLine(long pid, const ServiceRecord &record);
std::string ErrorLine(uint32_t code);

enum class Got { kReply, kClosed, kTimedOut };

// One request to the supervising process and the replies that follow it.
class Conversation {
public:
    // Connects to the supervising process listening at path and sends it
    // request. Not connected when nobody listens there, as after a crash, or
    // the request cannot be sent.
    Conversation(const std::string &path, const std::string &request);
    bool connected() const { return fd_.valid(); }

    // The next reply; a line that is no reply fails.
    Got Next(std::chrono::steady_clock::time_point deadline, Reply &reply);

    // Waits until the supervising process closes the connection, which it
    // does once the program has exited. False when limit passes first.
    bool WaitForClose(std::chrono::steady_clock::duration limit);

private:
    enum class Read { kLine, kClosed, kTimedOut };
    Read NextLine(std::string &line, std::chrono::steady_clock::time_point deadline);

    w32::UniqueFd fd_;
    std::string buffer_;
};

// Decides when a pending service has stalled: no report with a new state or a
// new checkpoint within the wait hint of the last one that made progress.
class ProgressClock {
public:
    // A zero or tiny wait hint still leaves the service this long.
    static constexpr std::chrono::milliseconds kMinimumWait{2000};

    // Takes a report; returns whether it made progress (a new state or
    // checkpoint), which restarts the clock.
    bool Observe(const ServiceRecord &record, std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());
    std::chrono::steady_clock::time_point Deadline() const { return deadline_; }

    // How long a report that made progress allows until the next.
    static std::chrono::milliseconds AllowedWait(const ServiceRecord &record);

private:
    std::optional<ServiceRecord> last_;
    std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::now() + kMinimumWait;
};

// Writes all of text to fd, carrying on after a short write; false on failure.
bool WriteAll(int fd, const std::string &text);

// Binds and listens at path (non-blocking, close-on-exec).
w32::UniqueFd ListenAt(const std::string &path);

// Whether the peer runs as this process's account or as root.
bool PeerIsTrusted(int fd);

#endif
