// The writing end of a mailslot, as CreateFileA opens it.
//
// "\\.\mailslot\NAME" is a direct handle: its socket is connected to the
// holder, and a WriteFile waits (at most kWriteTimeoutMs) while the holder
// is full. "\\*\mailslot\NAME" is a broadcast handle: it never waits, and a
// message nobody can take is lost, as a broadcast is.
#ifndef PLATFORM_POSIX_MAILSLOT_CLIENT_H
#define PLATFORM_POSIX_MAILSLOT_CLIENT_H

#include <atomic>
#include <memory>
#include <string>

#include "file_name.h"
#include <utility>

#include "handle_object.h"
#include "unique_fd.h"

namespace w32 {

class MailslotClient : public HandleObject {
public:
    MailslotClient(UniqueFd socket, bool broadcast, bool can_write, std::string path)
        : socket_(std::move(socket)), broadcast_(broadcast), can_write_(can_write),
          path_(std::move(path))
    {
    }

    DWORD write(const void *data, DWORD size, DWORD *done) override;
    void close() override;

private:
    DWORD write_direct(const void *data, DWORD size, DWORD *done);
    DWORD write_broadcast(const void *data, DWORD size, DWORD *done);

    const UniqueFd socket_;
    const bool broadcast_;
    const bool can_write_;
    const std::string path_;
    std::atomic<bool> closed_{false};
};

// Opens a client handle on a parsed mailslot name. A direct open with no
// live holder fails with ERROR_FILE_NOT_FOUND; a broadcast one always works.
DWORD open_mailslot_client(const FileName &name, DWORD access, std::shared_ptr<HandleObject> *out);

} // namespace w32

#endif
