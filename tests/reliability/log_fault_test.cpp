// Faults around the log: held by another program, its directory removed or
// made read-only, the disk full. The service answers throughout; the lines
// it cannot write are dropped whole, and logging resumes once it can.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "platform/platform.h"
#include "reliability_fixture.h"
#include "support/disk.h"

namespace {

void Pause(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A directory made read-only while it lives: by a read-only bind mount for
// root, whom permissions do not stop, else by its mode.
class ReadOnlyDir {
public:
    explicit ReadOnlyDir(const std::string &dir) : dir_(dir)
    {
        if (IsRoot()) {
            mounted_ = mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) == 0;
            ok_ = mounted_ && mount(nullptr, dir.c_str(), nullptr,
                                    MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
        } else {
            ok_ = chmod(dir.c_str(), 0555) == 0 &&
                  chmod((dir + "/ZQ_logfile.log").c_str(), 0444) == 0;
        }
    }
    ~ReadOnlyDir() { Release(); }
    bool ok() const { return ok_; }
    void Release()
    {
        if (mounted_)
            umount2(dir_.c_str(), MNT_DETACH);
        else if (!IsRoot())
            chmod(dir_.c_str(), 0755), chmod((dir_ + "/ZQ_logfile.log").c_str(), 0644);
        mounted_ = false;
        ok_ = false;
    }

private:
    std::string dir_;
    bool mounted_ = false;
    bool ok_ = false;
};

} // namespace

TEST_F(ReliabilityTest, LogHeldOpenByAnotherProgramDropsLinesThenResumes)
{
    StartService();
    std::string file = MakeFile("abc.txt", "a b c");

    // This process is the other program: an exclusive open, as an editor or
    // a backup tool might hold it. The service may be writing a line just
    // then: try again until the log is ours.
    HANDLE held = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 200 && held == INVALID_HANDLE_VALUE; ++i) {
        held = CreateFileA("C:\\ZQ_logfile.log", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (held == INVALID_HANDLE_VALUE)
            Pause(5);
    }
    ASSERT_NE(held, INVALID_HANDLE_VALUE) << GetLastError();
    std::string before = Log();
    ExpectCount(file, "2\n");
    Pause(200);
    EXPECT_EQ(Log(), before);
    CloseHandle(held);

    ExpectCount(file, "2\n");
    ASSERT_TRUE(WaitForLog("Bytes sent 2\n\r\n"));
    EXPECT_EQ(WithoutMarkers(Log()), before + CountLines(file, "2"));
}

TEST_F(ReliabilityTest, LogDirectoryRemovedOrReadOnlyDropsLinesThenResumes)
{
    StartService();
    std::string file = MakeFile("abc.txt", "a b c");
    std::string drive = root_ + "/drive_c";

    // Removed: the next line makes the directory and the log anew.
    std::filesystem::remove_all(drive);
    ExpectCount(file, "2\n");
    ASSERT_TRUE(WaitForLog("Bytes sent 2\n\r\n"));
    EXPECT_EQ(WithoutMarkers(Log()), CountLines(file, "2"));

    ReadOnlyDir readOnly(drive);
    ASSERT_TRUE(readOnly.ok()) << "cannot make " << drive << " read-only";
    std::string before = Log();
    ASSERT_TRUE(SendDatagram(SlotPath(), "exit"));
    ExpectCount(file, "2\n");
    Pause(200);
    EXPECT_EQ(Log(), before);
    readOnly.Release();

    ExpectCount(file, "2\n");
    ASSERT_TRUE(WaitForCount("Bytes sent 2\n\r\n", 2, 10));
    EXPECT_EQ(WithoutMarkers(Log()), WithoutMarkers(before) + CountLines(file, "2"));
}

// The machine root on a small file system of its own, filled up.
class FullDiskTest : public ReliabilityTest {
protected:
    void SetUp() override
    {
        ReliabilityTest::SetUp();
        if (!IsRoot())
            GTEST_SKIP() << "needs root to mount a small file system";
        // The test's own files and the programs' output stay on a disk
        // with room, outside the machine root.
        work_ = elsewhere_.path();
        disk_ = std::make_unique<SmallDisk>(root_, "size=2m,mode=0700");
        ASSERT_TRUE(disk_->mounted());
    }

    TempDir elsewhere_;
    std::unique_ptr<SmallDisk> disk_; // unmounted once TearDown has stopped the service
};

TEST_F(FullDiskTest, AFullDiskDropsWholeLinesAndLoggingResumesWhenThereIsRoom)
{
    StartService();
    std::string file = MakeFile("abc.txt", "a b c");
    std::string filler = disk_->Fill();

    // Enough lines to need more room than the log's last block has.
    ExpectCount(file, "2\n");
    for (int i = 0; i < 300; ++i)
        ASSERT_TRUE(SendDatagram(SlotPath(), "exit"));
    ExpectCount(file, "2\n");
    std::string whileFull = Log();
    size_t sent = CountOf(whileFull, "Bytes sent 2\n\r\n");
    EXPECT_LT(CountOf(whileFull, "Client exited!\n\r\n"), 300u); // lines were dropped
    ASSERT_GE(whileFull.size(), 2u);
    EXPECT_EQ(whileFull.substr(whileFull.size() - 2), "\r\n") << "a cut line was left";

    ASSERT_EQ(unlink(filler.c_str()), 0);
    ExpectCount(file, "2\n");
    ASSERT_TRUE(WaitForCount("Bytes sent 2\n\r\n", sent + 1, 10));
    std::string log = WithoutMarkers(Log());
    std::string last = CountLines(file, "2");
    ASSERT_GE(log.size(), last.size());
    EXPECT_EQ(log.substr(log.size() - last.size()), last);
    EXPECT_EQ(FirstForeignLine(log, {file}), "");
}
