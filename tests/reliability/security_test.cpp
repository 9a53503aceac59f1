// Another account (nobody) against the service: it may send requests, and
// nothing more. Needs root, to act as nobody.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "reliability_fixture.h"

namespace {

class OtherAccountTest : public ReliabilityTest {
protected:
    void SetUp() override
    {
        ReliabilityTest::SetUp();
        if (!IsRoot())
            GTEST_SKIP() << "needs root to act as another account";
        // Others may enter the machine root, as on a shared machine.
        ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
    }
};

bool IsRefused(int rc)
{
    return rc != 0 && (errno == EPERM || errno == EACCES);
}

} // namespace

TEST_F(OtherAccountTest, CanSendRequestsButNotTakeReplaceOrRemoveTheSlotOrControl)
{
    StartService();
    const std::string slot = SlotPath();
    const std::string control = root_ + "/services/" + kServiceName + "/control.sock";
    const std::string mine = root_ + "/mailslot/nobodys";
    struct stat before;
    ASSERT_EQ(lstat(slot.c_str(), &before), 0);

    pid_t child = StartChild([&] {
        if (!SendDatagram(slot, "from nobody"))
            return 10;
        // Taking the name, to read what others send, is refused.
        if (CreateMailslotA(kServerSlot, 0, 0, NULL) != INVALID_HANDLE_VALUE)
            return 11;
        if (open(slot.c_str(), O_RDONLY) >= 0)
            return 12;
        // Neither removed nor replaced: the directory is sticky.
        if (!IsRefused(unlink(slot.c_str())))
            return 13;
        int fd = open(mine.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        int renamed = rename(mine.c_str(), slot.c_str());
        bool refused = IsRefused(renamed);
        unlink(mine.c_str());
        if (fd < 0 || !refused)
            return 14;
        // The control socket is out of reach altogether.
        if (!IsRefused(unlink(control.c_str())) || ConnectDatagram(control) >= 0)
            return 15;
        return 0;
    }, true);
    EXPECT_EQ(WaitChild(child, 20), 0);

    // Its reply goes to every holder of the reply slot: let it go out before
    // this test's own client takes the slot, or that client would get it.
    EXPECT_TRUE(WaitForLog("Received: <from nobody>\n\r\n(Server)Can't open from nobody!\r\n"
                           "Bytes sent 32\n\r\n"));
    struct stat after;
    ASSERT_EQ(lstat(slot.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, 0u);
    EXPECT_NE(SvcctlAsNobody({"stop", kServiceName}).exitCode, 0);
    ExpectCount(MakeFile("abc.txt", "a b c"), "2\n", 30);
}

TEST_F(OtherAccountTest, ALinkPlantedAsTheReplySlotIsNotFollowed)
{
    StartService();
    // A socket of this account's outside the machine root: the target a
    // planted link would make the service send to.
    std::string victimDir = work_ + "/victim";
    ASSERT_EQ(mkdir(victimDir.c_str(), 0755), 0);
    std::string victim = victimDir + "/s";
    int victimFd = BindSocket(victim, SOCK_DGRAM);
    ASSERT_GE(victimFd, 0);
    ASSERT_EQ(chmod(work_.c_str(), 0755), 0);

    const std::string reply = root_ + "/mailslot/$Channel2$";
    pid_t child = StartChild([&] {
        if (symlink(victim.c_str(), reply.c_str()) != 0)
            return 10;
        // Nor can it plant one where the log goes.
        if (!IsRefused(symlink("/etc/passwd", (root_ + "/drive_c/ZQ_logfile.log.new").c_str())))
            return 11;
        return SendDatagram(SlotPath(), "/no/such/file") ? 0 : 12;
    }, true);
    ASSERT_EQ(WaitChild(child, 20), 0);
    ASSERT_TRUE(WaitForLog("Received: </no/such/file>\n\r\n(Server)Can't open /no/such/file!\r\n"
                           "Bytes sent"));

    struct pollfd waiter = {victimFd, POLLIN, 0};
    EXPECT_EQ(poll(&waiter, 1, 300), 0) << "the reply went through the link";
    close(victimFd);
    unlink(reply.c_str());
    ExpectCount(MakeFile("abc.txt", "a b c"), "2\n");
}

// The reply a root client prints is the service's, whatever another account
// sends meanwhile; and the service's log is not for every account to read.
TEST_F(OtherAccountTest, AFloodOfForgedCountsNeitherReachesNorCrowdsOutTheClient)
{
    StartService();
    struct stat log;
    ASSERT_EQ(stat(LogPath(root_).c_str(), &log), 0);
    EXPECT_EQ(log.st_mode & 0777, 0640u);

    const std::string path = MakeFile("abc.txt", "a b c");
    pid_t forger = StartChild([] {
        HANDLE replies = CreateFileA("\\\\*\\mailslot\\$Channel2$", GENERIC_WRITE,
                                     FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        DWORD written = 0;
        for (;;)
            WriteFile(replies, "99999", 6, &written, NULL);
        return 0;
    }, true);
    for (int run = 0; run < 3; run++)
        ExpectCount(path, "2\n");
    kill(forger, SIGKILL);
    WaitChild(forger, 10);
}

TEST_F(OtherAccountTest, AnAccountHoldingTheServerSlotIsNamedAndSentNoPath)
{
    Register(); // the service is not running: its slot's name is free
    ASSERT_EQ(mkdir((root_ + "/mailslot").c_str(), 01777), 0);
    ASSERT_EQ(chmod((root_ + "/mailslot").c_str(), 01777), 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t squatter = StartChild([&] {
        HANDLE slot = CreateMailslotA(kServerSlot, 0, MAILSLOT_WAIT_FOREVER, NULL);
        if (slot == INVALID_HANDLE_VALUE)
            return 10;
        SetSecurityInfo(slot, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, NULL, NULL);
        if (write(ready[1], "!", 1) != 1)
            return 11;
        char request[512];
        DWORD got = 0;
        while (ReadFile(slot, request, sizeof request, &got, NULL))
            if (got > 0 && request[0] == '/')
                return 12; // a path reached it
        return 0;
    }, true);
    close(ready[1]);
    char signal = 0;
    ASSERT_EQ(read(ready[0], &signal, 1), 1);
    close(ready[0]);
    RunResult r = Client({"--timeout", "3", MakeFile("abc.txt", "a b c")});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("held by nobody"), std::string::npos) << r.err;
    Sleep(300);
    kill(squatter, SIGKILL);
    EXPECT_EQ(WaitChild(squatter, 10), -1) << "the squatter got a path";
}

TEST_F(OtherAccountTest, RequestsQueuedByAnotherAccountDoNotStarveAClient)
{
    StartService();
    pid_t child = StartChild([&] {
        for (int i = 0; i < 20; i++)
            if (!SendDatagram(SlotPath(), "/no/such/file"))
                return 10;
        return 0;
    }, true);
    ASSERT_EQ(WaitChild(child, 10), 0);
    // Served in turns with nobody's, it is answered within the default 5 s.
    RunResult r = Client({MakeFile("abc.txt", "a b c")});
    EXPECT_EQ(r.out, "2\n") << r.err;
    EXPECT_EQ(r.exitCode, 0);
}

TEST_F(OtherAccountTest, ASecondClientWaitsItsTurnForTheReplySlot)
{
    StartService();
    HANDLE first = CreateMailslotA("\\\\.\\mailslot\\$Channel2$", 0, 0, NULL);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    Spawned second = SpawnClient({MakeFile("abc.txt", "a b c")});
    Sleep(1000);
    CloseHandle(first);
    RunResult r = Wait(second, 20);
    EXPECT_EQ(r.out, "2\n") << r.err;
    EXPECT_EQ(r.exitCode, 0);
}

TEST_F(OtherAccountTest, AFolderPlantedAtTheServerSlotFailsTheStart)
{
    Register();
    ASSERT_EQ(mkdir((root_ + "/mailslot").c_str(), 01777), 0);
    ASSERT_EQ(chmod((root_ + "/mailslot").c_str(), 01777), 0);
    const std::string planted = SlotPath();
    pid_t child = StartChild([&] {
        return mkdir(planted.c_str(), 0755) == 0 && mkdir((planted + "/x").c_str(), 0755) == 0
                   ? 0
                   : 10;
    }, true);
    ASSERT_EQ(WaitChild(child, 10), 0);
    Svcctl({"start", kServiceName});
    EXPECT_TRUE(WaitForLog("CreateMailslot: Error 183\n\r\n")) << Log();
    EXPECT_TRUE(WaitUntilStopped());
}
