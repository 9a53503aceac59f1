// svcctl: registers, starts, stops and queries services, in the manner of the
// Windows service control tool.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands.h"
#include "error.h"

namespace {

int Usage()
{
    std::fputs("usage: svcctl create NAME PROGRAM   register a service\n"
               "       svcctl delete NAME           remove a stopped service\n"
               "       svcctl start NAME            start it, return once it runs\n"
               "       svcctl run NAME              start it and stay until it stops\n"
               "       svcctl stop NAME             stop it, return once it has exited\n"
               "       svcctl interrogate NAME      ask it to report its status\n"
               "       svcctl control NAME CODE     send a control code (128-255 its own)\n"
               "       svcctl query NAME            show its status\n"
               "       svcctl history NAME          show its reports since the last start\n"
               "State lives under $W32_ROOT/services (default /tmp/w32root).\n",
               stderr);
    return 2;
}

bool ParseCode(const char *text, uint32_t &code)
{
    char *end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || value == 0 || value > 0xFFFFFFFFull)
        return false;
    code = static_cast<uint32_t>(value);
    return true;
}

int Dispatch(const std::string &command, int argc, char **argv)
{
    std::string name = argv[2];
    if (command == "create" && argc == 4)
        return CreateService(name, argv[3]);
    if (argc == 4 && command == "control") {
        uint32_t code = 0;
        if (!ParseCode(argv[3], code))
            return Usage();
        return ControlService(name, code);
    }
    if (argc != 3)
        return Usage();
    if (command == "delete")
        return DeleteService(name);
    if (command == "start")
        return StartService(name, false);
    if (command == "run")
        return StartService(name, true);
    if (command == "stop")
        return StopService(name);
    if (command == "interrogate")
        return ControlService(name, 4); // SERVICE_CONTROL_INTERROGATE
    if (command == "query")
        return QueryService(name);
    if (command == "history")
        return ShowHistory(name);
    return Usage();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3)
        return Usage();
    std::string command = argv[1];
    // A supervising process that has gone shows as a failed write, not a
    // silent death.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return Dispatch(command, argc, argv);
    } catch (const SvcError &e) {
        std::fprintf(stderr, "%s\n", FormatFailure(command, argv[2], e).c_str());
    } catch (const std::exception &e) {
        std::fprintf(stderr, "svcctl: %s \"%s\": %s\n", command.c_str(), argv[2], e.what());
    }
    return 1;
}
