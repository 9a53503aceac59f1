// The relay's command line:
//   mailslot-relay [--name NAME] [--workgroup GROUP] [--interface IFACE]...
//                  [--wins ADDRESS] [--nmbd-socket-dir DIR]
#ifndef MAILSLOT_RELAY_OPTIONS_H
#define MAILSLOT_RELAY_OPTIONS_H

#include <string>
#include <vector>

namespace relay {

struct Options {
    std::string name;      // empty: the computer name the platform reports
    std::string workgroup = "WORKGROUP";
    std::vector<std::string> interfaces; // empty: every suitable one
    std::string wins; // the WINS server's IPv4 address; empty: none
    std::string nmbd_socket_dir = "/run/samba/nmbd"; // where nmbd keeps its packet socket
};

// False with a one-line reason in `error` for a bad command line; `help`
// is set for --help.
bool parse_options(int argc, char **argv, Options *out, bool *help, std::string *error);

extern const char kUsage[];

} // namespace relay

#endif
