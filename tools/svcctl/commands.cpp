// svcctl: registers, starts, stops and queries services, in the manner of the
// Windows service control tool. Each command returns the process's exit
// status or throws SvcError, which main turns into one line on stderr.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include "platform/posix/machine_root.h"
#include "control_wire.h"
#include "service_store.h"
#include "program_launch.h"
#include "status_output.h"
#include "supervisor.h"

using Clock = std::chrono::steady_clock;

namespace {

// How long the supervising process may take to answer at all, a service's
// handler to return (the manager's own limit), and the program to exit once
// the service has stopped.
constexpr std::chrono::seconds kAnswerTimeout{10};
constexpr std::chrono::seconds kHandlerTimeout{30};
constexpr std::chrono::seconds kExitTimeout{30};

// Checks that program can run for a service, as the account it runs as:
// for an account of its own, the program is that account's to run, and
// drive_c and mailslot/ are its to write to.
void CheckCanRun(const std::string &program, const std::optional<Account> &account)
{
    if (!account) {
        CheckProgram(program);
        return;
    }
    CheckAsAccount(*account, [&] {
        CheckProgram(program);
        for (const std::string &dir : {DrivePath(), MailslotPath()}) {
            if (access(dir.c_str(), W_OK | X_OK) != 0)
                FailErrno("cannot write to " + dir);
        }
    });
}

// Who may own a step of the path to the program of a service that runs as
// `account`, or as this process's account without one: the uid and its name.
std::pair<uid_t, std::string> ProgramTrustee(const std::optional<Account> &account)
{
    uid_t uid = account ? account->uid : geteuid();
    if (uid == 0)
        return {0, "root"};
    return {uid, "root or " + (account ? account->name : std::string("you")) +
                     ", whom the service runs as"};
}

// create / delete

// user: the account the service runs as; null for the caller's own.
int CreateService(const std::string &name, const std::string &program, const char *user)
{
    if (program.empty() || program.find('\n') != std::string::npos)
        Fail(ERROR_INVALID_NAME, "the program path must be one line");
    std::optional<Account> account;
    if (user) {
        account = LookUpAccount(user);
        if (geteuid() != 0 && account->uid != geteuid())
            Fail(ERROR_ACCESS_DENIED, "only root may register a service to run as another account");
    }
    ServiceStore store = ServiceStore::OpenOrCreate();
    std::string absolute = AbsolutePath(program);
    if (account)
        PrepareServiceDirs(*account);
    // A program not installed yet is looked for again at start; one that
    // lies where another account could change it is refused now.
    auto [trustee, whom] = ProgramTrustee(account);
    if (OpenCheckedProgram(absolute, trustee, whom).fd)
        CheckCanRun(absolute, account);
    ServiceDir dir = store.Create(name, absolute, account ? account->name : std::string());
    std::printf("svcctl: created \"%s\" (%s)%s\n", dir.name().c_str(), absolute.c_str(),
                account ? (" to run as " + account->name).c_str() : "");
    return 0;
}

int DeleteService(const std::string &name)
{
    ServiceStore store = ServiceStore::Open();
    ServiceDir dir = store.Find(name);
    store.Remove(dir);
    std::printf("svcctl: deleted \"%s\"\n", dir.name().c_str());
    return 0;
}

// The current status and process id: asked of the supervising process, or,
// when none runs, the last report of the history. A service whose last report
// is not SERVICE_STOPPED has died with its supervisor, and is shown stopped.
Reply CurrentStatus(const ServiceDir &dir)
{
    Conversation query(dir.SocketPath(), kQueryRequest);
    if (query.connected()) {
        Reply reply;
        if (query.Next(Clock::now() + kAnswerTimeout, reply) == Got::kReply && reply.error == 0)
            return reply;
    }

    Reply reply;
    auto history = dir.History();
    if (history.empty())
        return reply; // never started: stopped
    const ServiceRecord &last = history.back();
    if (last.state == SERVICE_STOPPED) {
        reply.record = last;
    } else {
        reply.record.type = last.type;
        reply.record.win32ExitCode = ERROR_PROCESS_ABORTED;
    }
    return reply;
}

// query / history

int QueryService(const std::string &name)
{
    ServiceDir dir = ServiceStore::Open().Find(name);
    Reply reply = CurrentStatus(dir);
    std::string user = dir.User();
    std::fputs(FormatQuery(dir.name(), reply.record, reply.pid).c_str(), stdout);
    std::fputs(FormatStartName(user.empty() ? StartNameOf(dir.Owner()) : user).c_str(), stdout);
    return 0;
}

int ShowHistory(const std::string &name)
{
    ServiceDir dir = ServiceStore::Open().Find(name);
    for (const ServiceRecord &record : dir.History())
        std::printf("%s\n", FormatRecordWords(record).c_str());
    return 0;
}

// stop / interrogate / control

// Sends code to the service and returns the status that followed the
// handler's return; the conversation then carries the later reports.
Reply SendControl(Conversation &control)
{
    if (!control.connected())
        Fail(ERROR_SERVICE_NOT_ACTIVE);
    Reply reply;
    switch (control.Next(Clock::now() + kHandlerTimeout, reply)) {
    case Got::kTimedOut:
        Fail(ERROR_SERVICE_REQUEST_TIMEOUT);
    case Got::kClosed:
        Fail(ERROR_SERVICE_NOT_ACTIVE);
    case Got::kReply:
        break;
    }
    if (reply.error != 0)
        Fail(reply.error);
    return reply;
}

int ControlService(const std::string &name, uint32_t code)
{
    ServiceDir dir = ServiceStore::Open().Find(name);
    Conversation control(dir.SocketPath(), ControlRequest(code));
    Reply reply = SendControl(control);
    std::fputs(FormatQuery(dir.name(), reply.record, reply.pid).c_str(), stdout);
    return 0;
}

int StopService(const std::string &name)
{
    ServiceDir dir = ServiceStore::Open().Find(name);
    Conversation control(dir.SocketPath(), ControlRequest(SERVICE_CONTROL_STOP));
    Reply reply = SendControl(control);

    ProgressClock clock;
    while (reply.record.state != SERVICE_STOPPED) {
        clock.Observe(reply.record);
        Got got = control.Next(clock.Deadline(), reply);
        if (got == Got::kTimedOut)
            throw StallError(reply.record);
        if (got == Got::kClosed) {
            reply = CurrentStatus(dir); // its supervising process is gone
            break;
        }
    }
    if (!control.WaitForClose(kExitTimeout))
        Fail(ERROR_SERVICE_REQUEST_TIMEOUT, "it reported STOPPED but its process has not exited");
    std::fputs(FormatQuery(dir.name(), reply.record, 0).c_str(), stdout);
    return 0;
}

// start / run

[[noreturn]] void RunDetached(SupervisorSetup setup)
{
    setsid();
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        if (null > STDERR_FILENO)
            close(null);
    }
    CloseInheritedDescriptors();
    int status = 1;
    if (chdir("/") == 0) {
        try {
            status = Supervise(std::move(setup));
        } catch (const std::exception &) {
            status = 1; // nobody to tell: the starter sees the socket close
        }
    }
    _exit(status);
}

// The supervising process can be done before this process hears from it, as
// when the program cannot run at all; its history then tells how the start
// ended, so the answer does not depend on who was quicker.
[[noreturn]] void FailFromHistory(const ServiceDir &dir, const std::string &otherwise)
{
    std::vector<ServiceRecord> history = dir.History();
    if (history.empty() || history.back().state != SERVICE_STOPPED)
        Fail(ERROR_PROCESS_ABORTED, otherwise);
    bool reachedRunning = false;
    for (const ServiceRecord &record : history)
        reachedRunning = reachedRunning || record.state == SERVICE_RUNNING;
    throw StopError(history.back(), reachedRunning, dir.Program());
}

// Follows the new service's reports until it runs, stops, or stalls.
int WaitForStart(const ServiceDir &dir)
{
    Conversation watch(dir.SocketPath(), kWatchRequest);
    if (!watch.connected())
        FailFromHistory(dir, "the supervising process ended at once");
    ProgressClock clock;
    Reply reply;
    Got got = watch.Next(Clock::now() + kAnswerTimeout, reply);
    if (got == Got::kTimedOut)
        Fail(ERROR_SERVICE_REQUEST_TIMEOUT, "the supervising process does not answer");
    for (;;) {
        if (got == Got::kTimedOut)
            throw StallError(reply.record);
        if (got == Got::kClosed)
            FailFromHistory(dir, "the supervising process ended unexpectedly");
        if (reply.error != 0)
            Fail(reply.error);
        clock.Observe(reply.record);
        if (reply.record.state == SERVICE_RUNNING) {
            std::fputs(FormatQuery(dir.name(), reply.record, reply.pid).c_str(), stdout);
            return 0;
        }
        if (reply.record.state == SERVICE_STOPPED) {
            watch.WaitForClose(kExitTimeout); // its last words are in its log by then
            throw StopError(reply.record, false, dir.Program());
        }
        got = watch.Next(clock.Deadline(), reply);
    }
}

int StartService(const std::string &name, bool foreground)
{
    ServiceDir dir = ServiceStore::Open().Find(name);
    SupervisorSetup setup;
    setup.dir = &dir;
    setup.program = dir.Program();
    std::string user = dir.User();
    if (!user.empty())
        setup.account = LookUpAccount(user);
    // Checked again, as a folder may have changed since create: what runs is
    // the file checked now, through its descriptor.
    auto [trustee, whom] = ProgramTrustee(setup.account);
    setup.checked = OpenCheckedProgram(setup.program, trustee, whom);
    if (!setup.checked.fd)
        FailErrno("cannot run " + setup.program);
    if (setup.account)
        PrepareServiceDirs(*setup.account);
    else
        CheckOwnDrive();
    CheckCanRun(setup.program, setup.account);
    setup.lock = dir.TryLock();
    if (!setup.lock)
        Fail(ERROR_SERVICE_ALREADY_RUNNING);
    setup.history = dir.StartHistory();
    dir.RemoveSocket(); // left by a supervising process that was killed
    setup.listener = ListenAt(dir.SocketPath());
    setup.foreground = foreground;
    // The program finds its files under the same root whatever its directory.
    setenv("W32_ROOT", w32::machine_root_path().c_str(), 1);

    if (foreground)
        return Supervise(std::move(setup));

    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid < 0)
        FailErrno("cannot start the supervising process");
    if (pid == 0)
        RunDetached(std::move(setup));
    setup = SupervisorSetup(); // the supervising process holds them now
    return WaitForStart(dir);
}

// The command line.
int Usage()
{
    std::fprintf(stderr,
                 "usage: svcctl create NAME PROGRAM [--user ACCOUNT]\n"
                 "                                    register a service, to run as ACCOUNT\n"
                 "       svcctl delete NAME           remove a stopped service\n"
                 "       svcctl start NAME            start it, return once it runs\n"
                 "       svcctl run NAME              start it and stay until it stops\n"
                 "       svcctl stop NAME             stop it, return once it has exited\n"
                 "       svcctl interrogate NAME      ask it to report its status\n"
                 "       svcctl control NAME CODE     send a control code (128-255 its own)\n"
                 "       svcctl query NAME            show its status\n"
                 "       svcctl history NAME          show its reports since the last start\n"
                 "State lives under $W32_ROOT/services (default %s).\n",
                 w32::kDefaultMachineRoot);
    return 2;
}

int Dispatch(const std::string &command, int argc, char **argv)
{
    std::string name = argv[2];
    if (command == "create" && argc == 4)
        return CreateService(name, argv[3], nullptr);
    if (command == "create" && argc == 6 && std::string(argv[4]) == "--user")
        return CreateService(name, argv[3], argv[5]);
    if (argc == 4 && command == "control") {
        uint32_t code = 0;
        if (!ParseControlCode(argv[3], code))
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
        return ControlService(name, SERVICE_CONTROL_INTERROGATE);
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
    } catch (const UntrustedDirError &e) {
        std::fprintf(stderr, "svcctl: %s\n", e.what());
    } catch (const SvcError &e) {
        std::fprintf(stderr, "%s\n", FormatFailure(command, argv[2], e).c_str());
    } catch (const std::exception &e) {
        std::fprintf(stderr, "svcctl: %s \"%s\": %s\n", command.c_str(), argv[2], e.what());
    }
    return 1;
}
