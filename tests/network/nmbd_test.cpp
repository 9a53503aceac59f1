// The relay judged by Samba's nmbd, an independent NetBIOS node written
// against real Windows hosts: it sees our names come and go, each side
// defends its own, and browser mail crosses both ways.
#include <gtest/gtest.h>

#include <signal.h>

#include "nmbd_node.h"
#include "relay_network.h"

namespace {

class NmbdJudges : public RelayNetwork {
protected:
    void SetUp() override
    {
        RelayNetwork::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        SkipOrFailFor(MissingForNmbd(), "judge the relay by nmbd");
    }

    std::unique_ptr<NmbdNode> StartNmbd(const Host &h, const std::string &name)
    {
        return std::make_unique<NmbdNode>(net_.get(), h, name, h.root + "/../nmbd-" + h.hostname);
    }

    // Waits until `name` answers from `h` when asked by broadcast.
    bool Answers(const std::string &name, const Host &h, double seconds)
    {
        return WaitUntil([&] { return Nmblookup(name).out.find(h.ip + " " + name + "<00>") !=
                                      std::string::npos; },
                         seconds, 200);
    }
};

// A browser datagram's bytes as slot_writer's "=HEX" takes them.
std::string BrowserMail(const std::string &bytes)
{
    return "=" + Hex(bytes);
}

} // namespace

TEST_F(NmbdJudges, NmbdSeesOurNamesComeAndGoAndEachSideKeepsItsOwn)
{
    auto nmbd = StartNmbd(*b_, "NMBDHOST");
    ASSERT_TRUE(Answers("NMBDHOST", *b_, 30)) << nmbd->Log().substr(0, 4000);

    Spawned relay = net_->StartRelay(*a_);
    for (const std::string name : {"HOSTA<00>", "WORKGROUP<00>", "WORKGROUP<1e>"})
        EXPECT_TRUE(nmbd->WaitForLog("Name registration for name " + name + " IP " + a_->ip, 5))
            << name;

    // nmbd's name is nmbd's: the relay is refused, and says by whom.
    RunResult refused = Wait(net_->Start(*c_, {RELAY_PATH, "--name", "nmbdhost"}), 10);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("mailslot-relay: the name NMBDHOST<00> is already held by " +
                               b_->ip + ": choose another with --name\n"),
              std::string::npos)
        << refused.err;

    // Ours is ours: a second nmbd taking it is refused by the relay.
    auto rival = StartNmbd(*c_, "HOSTA");
    EXPECT_TRUE(rival->WaitForLog("Failed to register my name HOSTA<00> on subnet " + c_->ip, 20))
        << rival->Log().substr(0, 6000);
    rival->Stop();
    RunResult found = Nmblookup("HOSTA");
    EXPECT_NE(found.out.find(a_->ip + " HOSTA<00>"), std::string::npos) << found.out;
    EXPECT_EQ(found.out.find(c_->ip), std::string::npos) << found.out;

    Signal(relay, SIGTERM);
    EXPECT_EQ(Wait(relay, 10).exitCode, 0);
    EXPECT_TRUE(nmbd->WaitForLog("Name release on name HOSTA<00>, subnet " + b_->ip +
                                 " from owner IP " + a_->ip, 5));
}

TEST_F(NmbdJudges, BrowserMailCrossesBothWaysThroughTheLayer)
{
    net_->StartRelay(*a_);
    Spawned browse = HoldSlot(*a_, "BROWSE");
    auto nmbd = StartNmbd(*b_, "NMBDHOST");
    ASSERT_TRUE(nmbd->WaitForLog("is now a local master browser for workgroup WORKGROUP", 40))
        << nmbd->Log().substr(0, 4000);
    // Its elections went to the browsers' group, which the relay holds.
    EXPECT_NE(ReadWholeFile(browse.outPath).find(" 08"), std::string::npos)
        << ReadWholeFile(browse.outPath);

    // Asked for announcements, the master browser sends one to the group.
    const std::string workgroup_browse = "\\\\WORKGROUP\\mailslot\\BROWSE";
    EXPECT_EQ(Write(*a_, workgroup_browse, {BrowserMail(std::string("\x02\0HOSTA\0", 8))}), "ok\n");
    EXPECT_TRUE(WaitUntil([&] { return ReadWholeFile(browse.outPath).find(" 0f") !=
                                       std::string::npos; },
                          10))
        << ReadWholeFile(browse.outPath);
    EXPECT_NE(ReadWholeFile(browse.outPath).find(Hex("NMBDHOST")), std::string::npos);

    // A host announcement puts host A in the master browser's list.
    std::string announcement = std::string("\x01\0\x80\xfc\x0a\0HOSTA", 11) + std::string(11, '\0') +
                               std::string("\x06\x01\x03\x10\0\0\x0f\x01\x55\xaa", 10) +
                               "relay host" + std::string(1, '\0');
    // A host repeats its announcement, as a datagram may be lost; a busy
    // nmbd may take a while to write its list.
    bool listed = false;
    for (int sent = 0; sent < 8 && !listed; sent++) {
        EXPECT_EQ(Write(*a_, workgroup_browse, {BrowserMail(announcement)}), "ok\n");
        listed = WaitUntil(
            [&] { return nmbd->BrowseList().find("\"HOSTA\"") != std::string::npos; }, 5, 200);
    }
    EXPECT_TRUE(listed) << nmbd->BrowseList();
    EXPECT_NE(nmbd->BrowseList().find("\"relay host\""), std::string::npos) << nmbd->BrowseList();
}
