#include "handoff.h"

#include "platform/posix/machine_root.h"

namespace relay {

std::string handoff_dir(const std::string &root)
{
    return root + "/" + w32::kRelayDir;
}

std::string handoff_socket_path(const std::string &root)
{
    return handoff_dir(root) + "/" + w32::kRelaySocket;
}

} // namespace relay
