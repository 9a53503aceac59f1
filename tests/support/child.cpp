#include "child.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>

#include "files.h"
#include "machine_root.h"
#include "wait.h"

namespace {

// In the child: stdin from /dev/null, stdout and stderr into their files.
bool Redirect(const Spawned &s)
{
    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int out = open(s.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int err = open(s.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    return in >= 0 && out >= 0 && err >= 0 && dup2(in, 0) == 0 && dup2(out, 1) == 1 &&
           dup2(err, 2) == 2;
}

} // namespace

bool BecomeUser(uid_t uid)
{
    return setgroups(0, nullptr) == 0 && setgid(uid) == 0 && setuid(uid) == 0;
}

std::string ProgramForOthers(const std::string &path)
{
    static std::map<std::string, std::string> copies;
    auto known = copies.find(path);
    if (known != copies.end())
        return known->second;
    int reach = WaitChild(StartChild([&] { return access(path.c_str(), X_OK) == 0 ? 0 : 1; }, true), 10);
    if (reach != 1)
        return copies[path] = path;
    static TempDir shared(0755);
    std::string copy = shared.path() + "/" + std::to_string(copies.size()) + "-" +
                       std::filesystem::path(path).filename().string();
    std::error_code error;
    std::filesystem::copy_file(path, copy, error);
    if (error || chmod(copy.c_str(), 0755) != 0)
        return path; // the run then fails as it would have, saying so
    return copies[path] = copy;
}

pid_t StartChild(const std::function<int()> &fn, bool asNobody)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (asNobody && !BecomeUser(kNobody))
        _exit(125);
    _exit(fn());
}

int WaitChild(pid_t pid, double timeoutSeconds)
{
    if (pid <= 0) // no child: never wait for, nor kill, any other
        return -1;
    int status = 0;
    pid_t done = 0;
    WaitUntil([&] { return (done = waitpid(pid, &status, WNOHANG)) != 0; }, timeoutSeconds, 5);
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return done == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Spawned Spawn(const std::vector<std::string> &argv, const std::string &outputDir, bool asNobody,
              const std::function<bool()> &prepare)
{
    static std::atomic<int> serial{0};
    Spawned s;
    if (!outputDir.empty()) {
        std::string base = outputDir + "/run" + std::to_string(++serial);
        s.outPath = base + ".out";
        s.errPath = base + ".err";
    }
    std::vector<std::string> program = argv;
    if (asNobody && !program.empty() && program[0].find('/') != std::string::npos)
        program[0] = ProgramForOthers(program[0]);
    std::vector<char *> args;
    for (const std::string &a : program)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    s.pid = StartChild([&] {
        if ((!outputDir.empty() && !Redirect(s)) || (prepare && !prepare()) ||
            (asNobody && !BecomeUser(kNobody)))
            return 126;
        execvp(args[0], args.data());
        return 127;
    });
    return s;
}

RunResult Wait(const Spawned &spawned, double timeoutSeconds)
{
    RunResult r;
    auto start = std::chrono::steady_clock::now();
    r.exitCode = WaitChild(spawned.pid, timeoutSeconds);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.out = ReadWholeFile(spawned.outPath);
    r.err = ReadWholeFile(spawned.errPath);
    return r;
}

RunResult RunProgram(const std::vector<std::string> &argv, const std::string &outputDir,
                     double timeoutSeconds, bool asNobody, const std::function<bool()> &prepare)
{
    return Wait(Spawn(argv, outputDir, asNobody, prepare), timeoutSeconds);
}
