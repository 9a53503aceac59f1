// A sparse file is answered from its data alone: its holes, however large,
// take no time to count.
#include <chrono>
#include <thread>

#include "platform/platform.h"
#include "reliability_fixture.h"

TEST_F(ReliabilityTest, ATebibyteSparseFileIsCountedExactlyWithinASecond)
{
    StartService();
    std::string path = MakeSparseFile("tebibyte.bin", 1LL << 40);
    HANDLE reply = CreateMailslotA("\\\\.\\mailslot\\$Channel2$", 0, 0, NULL);
    ASSERT_NE(reply, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SendDatagram(SlotPath(), path));

    // Up to the 500 ms poll interval passes before the loop takes the request.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500 + 1000);
    DWORD waiting = 0;
    while (!(GetMailslotInfo(reply, NULL, NULL, &waiting, NULL) && waiting > 0) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    char text[64] = {0};
    DWORD cbRead = 0;
    EXPECT_TRUE(waiting > 0 && ReadFile(reply, text, sizeof text, &cbRead, NULL)) << "no reply";
    EXPECT_EQ(std::string(text, cbRead), std::string("4", 2));
    CloseHandle(reply);
}
