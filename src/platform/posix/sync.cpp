// Sleep, GetTickCount, slim reader/writer locks and interlocked operations;
// GetCurrentProcessId and RtlGenRandom, what a process learns of itself and
// the system's random source.
#include <errno.h>
#include <sched.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include "platform/platform.h"

extern "C" void Sleep(DWORD dwMilliseconds)
{
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    if (dwMilliseconds == 0xFFFFFFFFu) { // INFINITE
        for (;;) {
            struct timespec day = {86400, 0};
            nanosleep(&day, nullptr);
        }
    }
    struct timespec left = {time_t(dwMilliseconds / 1000), long(dwMilliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

extern "C" DWORD GetTickCount(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms = uint64_t(now.tv_sec) * 1000u + uint64_t(now.tv_nsec) / 1000000u;
    return DWORD(ms); // wraps after 49.7 days, as on Windows
}

extern "C" void AcquireSRWLockExclusive(PSRWLOCK SRWLock) { pthread_mutex_lock(&SRWLock->mutex); }

extern "C" void ReleaseSRWLockExclusive(PSRWLOCK SRWLock) { pthread_mutex_unlock(&SRWLock->mutex); }

extern "C" LONG InterlockedExchange(LONG volatile *Target, LONG Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

extern "C" LONG InterlockedCompareExchange(LONG volatile *Destination, LONG Exchange,
                                           LONG Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}

extern "C" DWORD GetCurrentProcessId(void)
{
    return DWORD(getpid());
}

extern "C" BOOLEAN RtlGenRandom(PVOID RandomBuffer, ULONG RandomBufferLength)
{
    auto *out = static_cast<unsigned char *>(RandomBuffer);
    size_t done = 0;
    while (done < RandomBufferLength) {
        ssize_t n = getrandom(out + done, RandomBufferLength - done, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return FALSE;
        done += size_t(n);
    }
    return TRUE;
}
