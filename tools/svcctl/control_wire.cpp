#include "control_wire.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/posix/poll_deadline.h"

using w32::UniqueFd;
using Clock = std::chrono::steady_clock;

namespace {

const char kControlPrefix[] = "CONTROL ";

sockaddr_un AddressOf(const std::string &path)
{
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        Fail(ERROR_INVALID_NAME, "socket path too long: " + path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return addr;
}

// Empty when nobody listens at path.
UniqueFd ConnectTo(const std::string &path)
{
    sockaddr_un addr = AddressOf(path);
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        FailErrno("cannot create a socket");
    int rc;
    do
        rc = connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        if (errno == ECONNREFUSED || errno == ENOENT)
            return UniqueFd();
        FailErrno("cannot reach the service's supervising process");
    }
    return fd;
}

} // namespace

bool WriteAll(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool ParseControlCode(const std::string &digits, uint32_t &code)
{
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    // Past 2^64 strtoull gives its largest value, which is out of range too.
    unsigned long long value = std::strtoull(digits.c_str(), nullptr, 10);
    if (value == 0 || value > 0xFFFFFFFFull)
        return false;
    code = static_cast<uint32_t>(value);
    return true;
}

std::string ControlRequest(uint32_t code)
{
    return kControlPrefix + std::to_string(code);
}

bool ParseControlRequest(const std::string &request, uint32_t &code)
{
    const size_t prefix = sizeof kControlPrefix - 1;
    return request.compare(0, prefix, kControlPrefix) == 0 &&
           ParseControlCode(request.substr(prefix), code);
}

std::string StatusLine(long pid, const ServiceRecord &record)
{
    return "STATUS " + std::to_string(pid) + " " + FormatRecordWords(record) + "\n";
}

std::string ErrorLine(uint32_t code)
{
    return "ERROR " + std::to_string(code) + "\n";
}

namespace {

std::optional<Reply> ParseReply(const std::string &line)
{
    std::istringstream in(line);
    std::string word;
    in >> word;
    Reply reply;
    if (word == "ERROR") {
        unsigned long code = 0;
        if (!(in >> code) || code == 0 || code > 0xFFFFFFFFul)
            return std::nullopt;
        reply.error = static_cast<uint32_t>(code);
        return reply;
    }
    if (word != "STATUS" || !(in >> reply.pid) || reply.pid < 0)
        return std::nullopt;
    std::string rest;
    std::getline(in, rest);
    auto record = ParseRecordWords(rest);
    if (!record)
        return std::nullopt;
    reply.record = *record;
    return reply;
}

} // namespace

Conversation::Conversation(const std::string &path, const std::string &request)
    : fd_(ConnectTo(path))
{
    if (fd_ && !WriteAll(fd_.get(), request + "\n"))
        fd_.reset();
}

Conversation::Read Conversation::NextLine(std::string &line, Clock::time_point deadline)
{
    for (;;) {
        size_t end = buffer_.find('\n');
        if (end != std::string::npos) {
            line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return Read::kLine;
        }
        w32::PollResult result = w32::poll_until(fd_.get(), POLLIN, deadline, 60000);
        if (result == w32::PollResult::Expired)
            return Read::kTimedOut;
        if (result == w32::PollResult::Failed)
            return Read::kClosed;
        if (result == w32::PollResult::Waiting)
            continue;
        char buf[512];
        ssize_t n = read(fd_.get(), buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return Read::kClosed;
        buffer_.append(buf, static_cast<size_t>(n));
    }
}

Got Conversation::Next(Clock::time_point deadline, Reply &reply)
{
    std::string line;
    switch (NextLine(line, deadline)) {
    case Read::kClosed:
        return Got::kClosed;
    case Read::kTimedOut:
        return Got::kTimedOut;
    case Read::kLine:
        break;
    }
    auto parsed = ParseReply(line);
    if (!parsed)
        Fail(0, "the supervising process sent a reply svcctl does not understand");
    reply = *parsed;
    return Got::kReply;
}

bool Conversation::WaitForClose(Clock::duration limit)
{
    auto deadline = Clock::now() + limit;
    std::string line;
    for (;;) {
        switch (NextLine(line, deadline)) {
        case Read::kClosed:
            return true;
        case Read::kTimedOut:
            return false;
        case Read::kLine:
            break;
        }
    }
}

bool ProgressClock::Observe(const ServiceRecord &record, Clock::time_point now)
{
    bool progress = !last_ || record.state != last_->state ||
                    record.checkPoint != last_->checkPoint;
    if (progress)
        deadline_ = now + AllowedWait(record);
    last_ = record;
    return progress;
}

std::chrono::milliseconds ProgressClock::AllowedWait(const ServiceRecord &record)
{
    return std::max(std::chrono::milliseconds(record.waitHint), kMinimumWait);
}

UniqueFd ListenAt(const std::string &path)
{
    sockaddr_un addr = AddressOf(path);
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd)
        FailErrno("cannot create the control socket");
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        FailErrno("cannot bind the control socket");
    if (listen(fd.get(), 16) != 0)
        FailErrno("cannot listen on the control socket");
    return fd;
}

bool PeerIsTrusted(int fd)
{
    ucred cred = {};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
        return false;
    return cred.uid == 0 || cred.uid == geteuid();
}
