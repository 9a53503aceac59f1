#include "options.h"

#include <string.h>

namespace relay {

const char kUsage[] =
    "usage: W32_ROOT=DIR mailslot-relay [--name NAME] [--workgroup GROUP] [--interface IFACE]...\n"
    "                                   [--wins ADDRESS] [--nmbd-socket-dir DIR]\n"
    "  --name NAME        this host's NetBIOS name (default: its computer name)\n"
    "  --workgroup GROUP  the workgroup it joins (default: WORKGROUP)\n"
    "  --interface IFACE  serve this interface only; may be repeated (default: every up,\n"
    "                     broadcast-capable IPv4 interface except loopback)\n"
    "  --wins ADDRESS     register names with this WINS server and ask it first, so that\n"
    "                     hosts on other subnets are reached (broadcasts stay on the subnet)\n"
    "  --nmbd-socket-dir DIR  where Samba's nmbd keeps its packet socket, \"unexpected\"\n"
    "                     (default: /run/samba/nmbd). When nmbd runs, the relay works\n"
    "                     beside it, for nmbd's names; else it is this host's node.\n"
    "Runs until SIGTERM or SIGINT; SIGUSR1 prints its counters to stderr.\n";

bool parse_options(int argc, char **argv, Options *out, bool *help, std::string *error)
{
    *help = false;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            *help = true;
            return true;
        }
        std::string *target = nullptr;
        if (strcmp(arg, "--name") == 0)
            target = &out->name;
        else if (strcmp(arg, "--workgroup") == 0)
            target = &out->workgroup;
        else if (strcmp(arg, "--wins") == 0)
            target = &out->wins;
        else if (strcmp(arg, "--nmbd-socket-dir") == 0)
            target = &out->nmbd_socket_dir;
        else if (strcmp(arg, "--interface") != 0) {
            *error = std::string("unknown argument ") + arg;
            return false;
        }
        if (i + 1 >= argc) {
            *error = std::string(arg) + " needs a value";
            return false;
        }
        const char *value = argv[++i];
        if (target)
            *target = value;
        else
            out->interfaces.push_back(value);
    }
    return true;
}

} // namespace relay
