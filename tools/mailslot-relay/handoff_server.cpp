#include "handoff_server.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace relay {
namespace {

// `path` as a directory of ours that no other account may write to,
// created when missing.
bool own_private_dir(const std::string &path, std::string *error)
{
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        *error = "cannot create " + path + ": " + strerror(errno);
        return false;
    }
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
        (st.st_mode & (S_IWGRP | S_IWOTH))) {
        *error = path + " must be a directory of this account that others cannot write to";
        return false;
    }
    return true;
}

bool fill_address(const std::string &path, struct sockaddr_un *address)
{
    *address = {};
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof address->sun_path)
        return false;
    memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Whether a live relay answers at `address`.
bool someone_listens(const struct sockaddr_un &address)
{
    w32::UniqueFd probe(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    return probe.valid() &&
           connect(probe.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
}

} // namespace

bool HandoffServer::open(const std::string &root, std::string *error)
{
    if (mkdir(root.c_str(), 0755) != 0 && errno != EEXIST) {
        *error = "cannot create W32_ROOT " + root + ": " + strerror(errno);
        return false;
    }
    if (!own_private_dir(handoff_dir(root), error))
        return false;
    std::string path = handoff_socket_path(root);
    struct sockaddr_un address;
    if (!fill_address(path, &address)) {
        *error = path + " is too long for a socket address";
        return false;
    }
    if (someone_listens(address)) {
        *error = "another mailslot-relay already serves " + root;
        return false;
    }
    unlink(path.c_str()); // left by a relay that was killed
    listener_.reset(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listener_.valid() ||
        bind(listener_.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        chmod(path.c_str(), 0666) != 0 || listen(listener_.get(), 16) != 0) {
        *error = "cannot listen on " + path + ": " + strerror(errno);
        listener_.reset();
        return false;
    }
    path_ = path;
    return true;
}

void HandoffServer::close()
{
    if (!listener_.valid())
        return;
    unlink(path_.c_str());
    listener_.reset();
    clients_.clear();
}

void HandoffServer::add_poll_fds(std::vector<struct pollfd> *fds) const
{
    if (listener_.valid())
        fds->push_back({listener_.get(), POLLIN, 0});
    for (const auto &entry : clients_)
        fds->push_back({entry.first, short(entry.second.busy ? 0 : POLLIN), 0});
}

void HandoffServer::on_ready(const struct pollfd &ready, const Handler &handler)
{
    if (ready.revents == 0)
        return;
    if (listener_.valid() && ready.fd == listener_.get()) {
        accept_clients();
        return;
    }
    auto it = clients_.find(ready.fd);
    if (it == clients_.end())
        return;
    if (ready.revents & POLLIN)
        read_request(&it->second, handler);
    else if (ready.revents & (POLLHUP | POLLERR | POLLNVAL))
        clients_.erase(it);
}

void HandoffServer::accept_clients()
{
    for (;;) {
        int fd = accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        if (clients_.size() >= kMaxClients) {
            ::close(fd); // the client sees its connection closed and may retry
            continue;
        }
        Client client;
        client.socket.reset(fd);
        client.id = next_id_++;
        clients_.emplace(fd, std::move(client));
    }
}

void HandoffServer::read_request(Client *client, const Handler &handler)
{
    uint8_t buffer[kHandoffMaxRequest];
    ssize_t got = recv(client->socket.get(), buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (got <= 0) { // gone, or an empty message: nothing to answer
        clients_.erase(client->socket.get());
        return;
    }
    client->busy = true;
    uint64_t id = client->id;
    HandoffRequest request;
    if (size_t(got) > sizeof buffer || !parse_handoff_request(buffer, size_t(got), &request)) {
        answer(id, w32::kHandoffBadRequest);
        return;
    }
    handler(request, [this, id](const std::string &text) { answer(id, text); });
}

void HandoffServer::answer(uint64_t id, const std::string &text)
{
    for (auto it = clients_.begin(); it != clients_.end(); ++it) {
        if (it->second.id != id)
            continue;
        ssize_t sent = send(it->first, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent != ssize_t(text.size()))
            clients_.erase(it);
        else
            it->second.busy = false;
        return;
    }
}

} // namespace relay

