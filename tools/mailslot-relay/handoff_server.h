// The relay's end of the local hand-off socket (see handoff.h): it accepts
// local clients and reads their requests without ever waiting on them. A
// client's next request is read only once the previous one is answered, and
// a client that does not take its reply is dropped.
#ifndef MAILSLOT_RELAY_HANDOFF_SERVER_H
#define MAILSLOT_RELAY_HANDOFF_SERVER_H

#include <poll.h>
#include <stdint.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "handoff.h"
#include "platform/posix/unique_fd.h"

namespace relay {

class HandoffServer {
public:
    static constexpr size_t kMaxClients = 64;

    using Reply = std::function<void(const std::string &text)>;
    using Handler = std::function<void(const HandoffRequest &request, Reply reply)>;

    ~HandoffServer() { close(); }

    // Creates $W32_ROOT/mailslot-relay/socket for `root`; false with a
    // one-line reason, also when another relay serves that root.
    bool open(const std::string &root, std::string *error);
    // Removes the socket.
    void close();

    // Appends the descriptors to wait on.
    void add_poll_fds(std::vector<struct pollfd> *fds) const;
    // Handles what poll reported for `fd`, if it is one of ours.
    void on_ready(const struct pollfd &ready, const Handler &handler);

private:
    struct Client {
        w32::UniqueFd socket;
        uint64_t id;
        bool busy = false;
    };
    void accept_clients();
    void read_request(Client *client, const Handler &handler);
    void answer(uint64_t id, const std::string &text);

    w32::UniqueFd listener_;
    std::string path_;
    std::map<int, Client> clients_;
    uint64_t next_id_ = 1;
};

} // namespace relay

#endif
