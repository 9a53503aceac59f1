#include "control_wire.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

std::string StatusLine(long pid, const ServiceRecord &record)
{
    return "STATUS " + std::to_string(pid) + " " + FormatRecordWords(record) + "\n";
}

std::string ErrorLine(uint32_t code)
{
    return "ERROR " + std::to_string(code) + "\n";
}

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

LineReader::Result LineReader::Next(std::string &line, Clock::time_point deadline)
{
    for (;;) {
        size_t end = buffer_.find('\n');
        if (end != std::string::npos) {
            line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return kLine;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return kTimedOut;
        pollfd p = {fd_, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 60000)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return kClosed;
        if (ready == 0)
            continue;
        char buf[512];
        ssize_t n = read(fd_, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return kClosed;
        buffer_.append(buf, static_cast<size_t>(n));
    }
}
