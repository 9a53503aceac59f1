// Interlocked operations, slim locks and the tick count under threads.
#include <thread>
#include <vector>

#include "test_root.h"

class Sync : public PlatformTest {};

TEST_F(Sync, InterlockedOperationsReturnThePreviousValue)
{
    volatile LONG value = 5;
    EXPECT_EQ(InterlockedExchange(&value, 7), 5);
    EXPECT_EQ(InterlockedCompareExchange(&value, 9, 3), 7); // no match: unchanged
    EXPECT_EQ(value, 7);
    EXPECT_EQ(InterlockedCompareExchange(&value, 9, 7), 7);
    EXPECT_EQ(value, 9);
}

TEST_F(Sync, ThreadsLoseNoUpdate)
{
    static SRWLOCK lock = SRWLOCK_INIT;
    long locked_count = 0;
    volatile LONG cas_count = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                AcquireSRWLockExclusive(&lock);
                ++locked_count;
                ReleaseSRWLockExclusive(&lock);
                LONG seen;
                do {
                    seen = InterlockedCompareExchange(&cas_count, 0, 0);
                } while (InterlockedCompareExchange(&cas_count, seen + 1, seen) != seen);
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(locked_count, 40000);
    EXPECT_EQ(cas_count, 40000);
}

TEST_F(Sync, TickCountFollowsSleep)
{
    DWORD start = GetTickCount();
    Sleep(200);
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 150u); // the tick may be as coarse as 16 ms
    EXPECT_LT(elapsed, 5000u);
}
