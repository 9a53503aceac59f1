// The process's own id and the system's random source.
#include <string.h>

#include "test_root.h"

class Process : public PlatformTest {};

TEST_F(Process, IdIsTheSameOnEveryCall)
{
    DWORD id = GetCurrentProcessId();
    EXPECT_NE(id, 0u);
    EXPECT_EQ(GetCurrentProcessId(), id);
}

TEST_F(Process, RandomBytesFillTheWholeBufferAndDifferEachTime)
{
    unsigned char first[64], second[64];
    memset(first, 0, sizeof first);
    memset(second, 0, sizeof second);
    ASSERT_TRUE(RtlGenRandom(first, sizeof first));
    ASSERT_TRUE(RtlGenRandom(second, sizeof second));
    EXPECT_NE(memcmp(first, second, sizeof first), 0);
    // Zero bytes in the last eight of 64 random ones: about one chance in 2^64.
    static const unsigned char zeros[8] = {0};
    EXPECT_NE(memcmp(first + 56, zeros, sizeof zeros), 0);
    EXPECT_TRUE(RtlGenRandom(first, 0));
}
