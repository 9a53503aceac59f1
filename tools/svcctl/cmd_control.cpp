// svcctl stop / interrogate / control.
#include <cstdio>

#include "commands.h"
#include "error.h"
#include "file_io.h"
#include "outcome.h"
#include "progress_clock.h"
#include "status_reader.h"
#include "unix_socket.h"

namespace {

// The manager's own limit for a handler to return.
constexpr std::chrono::seconds kHandlerTimeout{30};
constexpr std::chrono::seconds kExitTimeout{30};

// Sends code and returns the status that followed the handler's return; the
// connection then carries the later reports.
Reply SendControl(uint32_t code, UniqueFd &conn, LineReader &reader)
{
    if (!conn || !WriteAll(conn.get(), "CONTROL " + std::to_string(code) + "\n"))
        Fail(kErrorServiceNotActive);
    Reply reply;
    switch (NextReply(reader, Clock::now() + kHandlerTimeout, reply)) {
    case Got::kTimedOut:
        Fail(kErrorServiceRequestTimeout);
    case Got::kClosed:
        Fail(kErrorServiceNotActive);
    case Got::kReply:
        break;
    }
    if (reply.error != 0)
        Fail(reply.error);
    return reply;
}

} // namespace

int ControlService(const std::string &name, uint32_t code)
{
    ServiceStore store = ServiceStore::Open();
    ServiceDir dir = store.Find(name);
    UniqueFd conn = ConnectTo(dir.SocketPath());
    LineReader reader(conn.get());
    Reply reply = SendControl(code, conn, reader);
    std::fputs(FormatQuery(dir.name(), reply.record, reply.pid).c_str(), stdout);
    return 0;
}

int StopService(const std::string &name)
{
    ServiceStore store = ServiceStore::Open();
    ServiceDir dir = store.Find(name);
    UniqueFd conn = ConnectTo(dir.SocketPath());
    LineReader reader(conn.get());
    Reply reply = SendControl(kControlStop, conn, reader);

    ProgressClock clock;
    while (reply.record.state != kStateStopped) {
        clock.Observe(reply.record);
        Got got = NextReply(reader, clock.Deadline(), reply);
        if (got == Got::kTimedOut)
            throw StallError(reply.record);
        if (got == Got::kClosed) {
            reply = CurrentStatus(dir); // its supervising process is gone
            break;
        }
    }
    if (!WaitForClose(reader, kExitTimeout))
        Fail(kErrorServiceRequestTimeout, "it reported STOPPED but its process has not exited");
    std::fputs(FormatQuery(dir.name(), reply.record, 0).c_str(), stdout);
    return 0;
}
