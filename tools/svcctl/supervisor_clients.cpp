// The supervising process's side of the control socket.
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "control_rules.h"
#include "error.h"
#include "supervisor_state.h"
#include "unix_socket.h"

namespace {

constexpr size_t kMaxClients = 64;
constexpr size_t kMaxRequest = 64;

bool ParseControl(const std::string &request, uint32_t &code)
{
    const std::string prefix = "CONTROL ";
    if (request.compare(0, prefix.size(), prefix) != 0)
        return false;
    std::string digits = request.substr(prefix.size());
    if (digits.empty() || digits.size() > 10 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long long value = std::strtoull(digits.c_str(), nullptr, 10);
    if (value == 0 || value > 0xFFFFFFFFull)
        return false;
    code = static_cast<uint32_t>(value);
    return true;
}

} // namespace

void Supervisor::AcceptClients()
{
    for (;;) {
        UniqueFd fd(accept4(setup_.listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd)
            return; // EAGAIN, or a connection that vanished
        if (!PeerIsTrusted(fd.get()) || clients_.size() >= kMaxClients)
            continue;
        clients_[nextClientId_++].fd = std::move(fd);
    }
}

void Supervisor::ReadClient(uint64_t id)
{
    auto it = clients_.find(id);
    if (it == clients_.end())
        return;
    Client &client = it->second;
    char buf[128];
    ssize_t n = recv(client.fd.get(), buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (n <= 0) {
        Drop(id);
        return;
    }
    if (client.watching || client.awaitingControl)
        return; // nothing more is expected from them
    client.request.append(buf, static_cast<size_t>(n));
    size_t end = client.request.find('\n');
    if (end == std::string::npos) {
        if (client.request.size() > kMaxRequest)
            Drop(id);
        return;
    }
    HandleRequest(id, client.request.substr(0, end));
}

void Supervisor::HandleRequest(uint64_t id, const std::string &request)
{
    Client &client = clients_[id];
    uint32_t code = 0;
    if (request == "QUERY") {
        SendTo(client, StatusLine(Pid(), current_));
        Drop(id);
    } else if (request == "WATCH") {
        client.watching = SendTo(client, StatusLine(Pid(), current_));
        if (!client.watching)
            Drop(id);
    } else if (ParseControl(request, code)) {
        uint32_t refusal = !channelOpen_ || exited_ ? kErrorServiceNotActive
                                                     : ControlRefusal(code, current_);
        if (refusal == 0 && !SendControl(code))
            refusal = kErrorServiceCannotAcceptCtrl;
        if (refusal != 0) {
            SendTo(client, ErrorLine(refusal));
            Drop(id);
            return;
        }
        client.awaitingControl = true;
        awaitingAck_.push_back(id);
    } else {
        SendTo(client, ErrorLine(kErrorInvalidParameter));
        Drop(id);
    }
}

// The answer to a control is the status that stands once the handler has
// returned; the client then hears of every later report.
void Supervisor::AnswerControl(uint64_t id, uint32_t result)
{
    auto it = clients_.find(id);
    if (it == clients_.end())
        return;
    Client &client = it->second;
    client.awaitingControl = false;
    if (result != 0) {
        SendTo(client, ErrorLine(result));
        Drop(id);
    } else if (SendTo(client, StatusLine(Pid(), current_))) {
        client.watching = true;
    } else {
        Drop(id);
    }
}

// Controls the program can no longer acknowledge: their clients get the
// status as it stands.
void Supervisor::AnswerPendingControls()
{
    std::deque<uint64_t> pending;
    pending.swap(awaitingAck_);
    for (uint64_t id : pending) {
        if (id != kOwnControl)
            AnswerControl(id, 0);
    }
}

void Supervisor::Broadcast(const std::string &line)
{
    std::vector<uint64_t> gone;
    for (auto &[id, client] : clients_) {
        if (client.watching && !SendTo(client, line))
            gone.push_back(id);
    }
    for (uint64_t id : gone)
        Drop(id);
}

// Watchers that do not keep up are dropped rather than waited for.
bool Supervisor::SendTo(Client &client, const std::string &line)
{
    ssize_t n = send(client.fd.get(), line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return n == static_cast<ssize_t>(line.size());
}

void Supervisor::Drop(uint64_t id)
{
    clients_.erase(id);
}
