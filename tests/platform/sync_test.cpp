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

// A thread routine: waits for the event it is given, then says it ran.
struct Gate {
    HANDLE hOpen;
    volatile LONG passed;
};

DWORD WINAPI PassTheGate(LPVOID lpParameter)
{
    Gate *gate = static_cast<Gate *>(lpParameter);
    if (WaitForSingleObject(gate->hOpen, INFINITE) == WAIT_OBJECT_0)
        InterlockedExchange(&gate->passed, 1);
    return 0;
}

TEST_F(Sync, AThreadHandleIsSignaledOnceItsRoutineReturned)
{
    Gate gate = {CreateEventA(NULL, FALSE, FALSE, NULL), 0};
    ASSERT_NE(gate.hOpen, nullptr);
    HANDLE hThread = CreateThread(NULL, 0, PassTheGate, &gate, 0, NULL);
    ASSERT_NE(hThread, nullptr);
    EXPECT_EQ(WaitForSingleObject(hThread, 50), WAIT_TIMEOUT);
    EXPECT_EQ(InterlockedCompareExchange(&gate.passed, 0, 0), 0);
    ASSERT_TRUE(SetEvent(gate.hOpen));
    EXPECT_EQ(WaitForSingleObject(hThread, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(gate.passed, 1);
    EXPECT_EQ(WaitForSingleObject(hThread, 0), WAIT_OBJECT_0) << "and stays signaled";
    EXPECT_TRUE(CloseHandle(hThread));
    EXPECT_TRUE(CloseHandle(gate.hOpen));
    EXPECT_EQ(WaitForSingleObject(hThread, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(Sync, AnAutoResetEventWakesOneWaitAManualOneEvery)
{
    HANDLE hAuto = CreateEventA(NULL, FALSE, TRUE, NULL);
    HANDLE hManual = CreateEventA(NULL, TRUE, FALSE, NULL);
    ASSERT_NE(hAuto, nullptr);
    ASSERT_NE(hManual, nullptr);
    EXPECT_EQ(WaitForSingleObject(hAuto, 0), WAIT_OBJECT_0) << "created set";
    EXPECT_EQ(WaitForSingleObject(hAuto, 20), WAIT_TIMEOUT) << "taken by the first wait";
    EXPECT_TRUE(SetEvent(hAuto));
    EXPECT_TRUE(SetEvent(hAuto)); // setting a set event counts once
    EXPECT_EQ(WaitForSingleObject(hAuto, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(hAuto, 0), WAIT_TIMEOUT);

    EXPECT_EQ(WaitForSingleObject(hManual, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(hManual));
    EXPECT_EQ(WaitForSingleObject(hManual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(hManual, 0), WAIT_OBJECT_0);
    CloseHandle(hAuto);
    CloseHandle(hManual);
}

TEST_F(Sync, EveryMachineWeRunOnHasSse2)
{
    EXPECT_TRUE(IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE));
}
