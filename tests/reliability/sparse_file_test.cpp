// A sparse file is answered from its data alone: its holes, however large,
// take no time to count.
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
    std::string text;
    EXPECT_TRUE(WaitForMessage(reply, &text, 0.5 + 1)) << "no reply";
    EXPECT_EQ(text, std::string("4", 2));
    CloseHandle(reply);
}
