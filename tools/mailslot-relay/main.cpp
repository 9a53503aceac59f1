// mailslot-relay: this host's NetBIOS node, so that mailslot writes reach
// other machines and theirs reach this one's slots.
//
//   W32_ROOT=DIR mailslot-relay [--name NAME] [--workgroup GROUP] [--interface IFACE]...
//                               [--wins ADDRESS] [--nmbd-socket-dir DIR]
//
// Exit status: 0 after SIGTERM or SIGINT, 1 when it cannot serve (ports,
// privileges, interfaces, a name held by another node), 2 for a bad command
// line.
#include <arpa/inet.h>
#include <signal.h>
#include <stdio.h>

#include "interfaces.h"
#include "options.h"
#include "platform/platform.h"
#include "platform/posix/machine_root.h"
#include "relay.h"

namespace {

int fail(const std::string &why)
{
    fprintf(stderr, "mailslot-relay: %s\n", why.c_str());
    return 1;
}

std::string computer_name()
{
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) ? name : "";
}

} // namespace

int main(int argc, char **argv)
{
    relay::Options options;
    bool help = false;
    std::string error;
    if (!relay::parse_options(argc, argv, &options, &help, &error)) {
        fprintf(stderr, "mailslot-relay: %s\n%s", error.c_str(), relay::kUsage);
        return 2;
    }
    if (help) {
        fputs(relay::kUsage, stdout);
        return 0;
    }
    if (options.name.empty())
        options.name = computer_name();

    relay::NetbiosName name, group;
    if (!relay::make_name(options.name, 0x00, &name))
        return fail("\"" + options.name + "\" is not a NetBIOS name (1 to 15 characters, none of "
                                          "\\ / : * ? \" < > | .): give one with --name");
    if (!relay::make_name(options.workgroup, 0x00, &group))
        return fail("\"" + options.workgroup + "\" is not a NetBIOS name (1 to 15 characters, "
                                               "none of \\ / : * ? \" < > | .)");
    struct in_addr wins = {};
    if (!options.wins.empty() && (inet_pton(AF_INET, options.wins.c_str(), &wins) != 1 ||
                                  !relay::is_host_address(ntohl(wins.s_addr))))
    {
        fprintf(stderr, "mailslot-relay: --wins needs the WINS server's IPv4 address, not \"%s\"\n%s",
                options.wins.c_str(), relay::kUsage);
        return 2;
    }
    std::vector<relay::Interface> interfaces;
    if (!relay::find_interfaces(options.interfaces, &interfaces, &error))
        return fail(error);

    // Signals arrive through the relay's signalfd, in every thread blocked.
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGTERM);
    sigaddset(&handled, SIGINT);
    sigaddset(&handled, SIGUSR1);
    sigprocmask(SIG_BLOCK, &handled, nullptr);

    relay::Relay node(name, group, interfaces, w32::machine_root_path(), options.nmbd_socket_dir,
                      ntohl(wins.s_addr));
    if (!node.open(&error))
        return fail(error);
    return node.run();
}
