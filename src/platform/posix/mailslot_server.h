// A mailslot: the socket bound at its name and the messages taken from it.
//
// Each ReadFile and GetMailslotInfo first moves what waits in the socket
// into an in-memory queue, so the count and the next size are exact. The
// queue is bounded; once full, messages stay in the socket, whose own small
// queue then fills and makes writers wait instead of memory growing.
#ifndef PLATFORM_POSIX_MAILSLOT_SERVER_H
#define PLATFORM_POSIX_MAILSLOT_SERVER_H

#include <sys/stat.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include <utility>

#include "handle_object.h"
#include "unique_fd.h"

namespace w32 {

class MailslotServer : public HandleObject {
public:
    MailslotServer(UniqueFd socket, std::string path, const struct stat &identity,
                   DWORD max_message, DWORD read_timeout);

    DWORD read(void *buffer, DWORD size, DWORD *done) override;
    void close() override;

    DWORD info(DWORD *max_message, DWORD *next_size, DWORD *count, DWORD *read_timeout);

    // Lets every local account write to the mailslot (a null DACL).
    DWORD open_to_everyone();

private:
    void drain_locked();
    bool name_is_ours() const;
    DWORD take_locked(void *buffer, DWORD size, DWORD *done);

    const UniqueFd socket_;
    const std::string path_;
    const dev_t device_;
    const ino_t inode_;
    const DWORD max_message_; // as asked; 0 for no limit of its own
    const DWORD read_timeout_;
    const size_t accepted_size_;

    std::mutex mutex_;
    std::deque<std::vector<char>> queue_;
    size_t queued_bytes_ = 0;
    bool name_held_ = true;
    std::atomic<bool> closed_{false};
};

} // namespace w32

#endif
