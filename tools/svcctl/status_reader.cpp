#include "status_reader.h"

#include "error.h"
#include "file_io.h"
#include "unix_socket.h"

Got NextReply(LineReader &reader, Clock::time_point deadline, Reply &reply)
{
    std::string line;
    switch (reader.Next(line, deadline)) {
    case LineReader::kClosed:
        return Got::kClosed;
    case LineReader::kTimedOut:
        return Got::kTimedOut;
    case LineReader::kLine:
        break;
    }
    auto parsed = ParseReply(line);
    if (!parsed)
        Fail(0, "the supervising process sent a reply svcctl does not understand");
    reply = *parsed;
    return Got::kReply;
}

bool WaitForClose(LineReader &reader, Clock::duration limit)
{
    auto deadline = Clock::now() + limit;
    std::string line;
    for (;;) {
        switch (reader.Next(line, deadline)) {
        case LineReader::kClosed:
            return true;
        case LineReader::kTimedOut:
            return false;
        case LineReader::kLine:
            break;
        }
    }
}

Reply CurrentStatus(const ServiceDir &dir)
{
    UniqueFd conn = ConnectTo(dir.SocketPath());
    if (conn && WriteAll(conn.get(), "QUERY\n")) {
        LineReader reader(conn.get());
        Reply reply;
        if (NextReply(reader, Clock::now() + std::chrono::seconds(10), reply) == Got::kReply &&
            reply.error == 0)
            return reply;
    }

    Reply reply;
    auto history = dir.History();
    if (history.empty())
        return reply; // never started: stopped
    const ServiceRecord &last = history.back();
    if (last.state == kStateStopped) {
        reply.record = last;
    } else {
        reply.record.type = last.type;
        reply.record.win32ExitCode = kErrorProcessAborted;
    }
    return reply;
}
