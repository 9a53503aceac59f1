#include "mailslot_socket.h"

#include <stddef.h>
#include <string.h>

#include "machine_dirs.h"

namespace w32 {

bool fits_socket_address(const std::string &path)
{
    return path.size() < sizeof(sockaddr_un::sun_path);
}

socklen_t socket_address(const std::string &path, struct sockaddr_un *address)
{
    memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return socklen_t(offsetof(struct sockaddr_un, sun_path) + path.size() + 1);
}

DWORD locate_slot(const std::string &slot, SlotLocation *out)
{
    DWORD err = open_mailslot_dir(&out->dir, &out->dir_path);
    if (err != NO_ERROR)
        return err;
    out->path = out->dir_path + "/" + slot;
    if (!fits_socket_address(out->path))
        return ERROR_FILENAME_EXCED_RANGE;
    return NO_ERROR;
}

UniqueFd new_datagram_socket()
{
    return UniqueFd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
}

} // namespace w32
