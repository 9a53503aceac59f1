#include "nmbd_node.h"

#include <signal.h>
#include <stdlib.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "support/wait.h"

std::string MissingForNmbd()
{
    if (system("command -v nmbd >/dev/null 2>&1") != 0)
        return "nmbd is not installed (Debian: samba)";
    return "";
}

void SkipOrFailFor(const std::string &missing, const char *ci_must)
{
    if (missing.empty())
        return;
    if (getenv("CI") && std::string(getenv("CI")) == "true")
        FAIL() << missing << ": CI must " << ci_must;
    GTEST_SKIP() << missing;
}

NmbdNode::NmbdNode(TestNetwork *net, const Host &h, const std::string &netbios_name,
                   const std::string &dir, const std::string &extra)
    : dir_(dir)
{
    std::filesystem::create_directories(dir_);
    std::string config = "[global]\n"
                         "workgroup = WORKGROUP\n"
                         "netbios name = " + netbios_name + "\n"
                         "interfaces = veth0\n"
                         "bind interfaces only = yes\n"
                         "local master = yes\n"
                         "preferred master = yes\n"
                         "log level = 10\n"
                         "dns proxy = no\n" // no helper process to outlive it
                         + extra;
    for (const char *place : {"lock directory", "state directory", "cache directory",
                              "private dir", "pid directory", "nmbd:socket dir"}) {
        std::string sub = dir_ + "/" + std::string(place).substr(0, std::string(place).find(' '));
        std::filesystem::create_directories(sub);
        config += std::string(place) + " = " + sub + "\n";
    }
    WriteWholeFile(dir_ + "/smb.conf", config);
    process_ = net->Start(h.ns, h.hostname, h.root,
                          {"nmbd", "-F", "--debug-stdout", "--no-process-group", "-s",
                           dir_ + "/smb.conf"});
    running_ = process_.pid > 0;
}

std::string NmbdNode::Log() const
{
    return ReadWholeFile(process_.outPath) + ReadWholeFile(process_.errPath);
}

bool NmbdNode::WaitForLog(const std::string &text, double seconds) const
{
    return WaitUntil([&] { return Log().find(text) != std::string::npos; }, seconds, 100);
}

std::string NmbdNode::BrowseList() const
{
    for (const char *sub : {"/lock/browse.dat", "/state/browse.dat", "/cache/browse.dat"})
        if (std::filesystem::exists(dir_ + sub))
            return ReadWholeFile(dir_ + sub);
    return "";
}

std::string NmbdNode::WinsDatabase() const
{
    return ReadWholeFile(dir_ + "/state/wins.dat");
}

void NmbdNode::Stop()
{
    if (!running_)
        return;
    running_ = false;
    Signal(process_, SIGTERM);
    Wait(process_, 5); // killed when it takes longer
}
