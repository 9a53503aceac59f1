#include "process_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

std::string Slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

Spawned Spawn(const std::vector<std::string> &argv, const std::string &dir)
{
    static int serial = 0;
    Spawned s;
    std::string base = dir + "/run" + std::to_string(++serial);
    s.outPath = base + ".out";
    s.errPath = base + ".err";
    s.pid = fork();
    if (s.pid == 0) {
        int out = open(s.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(s.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int null = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || null < 0)
            _exit(126);
        dup2(null, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return s;
}

RunResult Wait(const Spawned &spawned, double timeoutSeconds)
{
    RunResult r;
    auto start = Clock::now();
    auto deadline = start + std::chrono::duration<double>(timeoutSeconds);
    int status = 0;
    for (;;) {
        pid_t done = waitpid(spawned.pid, &status, WNOHANG);
        if (done == spawned.pid)
            break;
        if (done < 0)
            return r;
        if (Clock::now() >= deadline) {
            kill(spawned.pid, SIGKILL);
            waitpid(spawned.pid, &status, 0);
            status = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    r.exitCode = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = Slurp(spawned.outPath);
    r.err = Slurp(spawned.errPath);
    return r;
}

RunResult RunProgram(const std::vector<std::string> &argv, const std::string &dir,
                     double timeoutSeconds)
{
    return Wait(Spawn(argv, dir), timeoutSeconds);
}
