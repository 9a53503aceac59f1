// A sparse file is answered from its data alone: its holes, however large,
// take no time to count.
#include "reliability_fixture.h"

TEST_F(ReliabilityTest, ATebibyteSparseFileIsCountedExactlyWithinASecond)
{
    StartService();
    std::string path = MakeSparseFile("tebibyte.bin", 1LL << 40);
    RunResult r = Client({"--timeout", "5", path}, 15);
    EXPECT_EQ(r.out, "4\n") << r.err;
    EXPECT_EQ(r.exitCode, 0) << r.err;
    // Up to the 500 ms poll interval passes before the loop takes the request.
    EXPECT_LT(r.seconds, 0.5 + 1.0);
}
