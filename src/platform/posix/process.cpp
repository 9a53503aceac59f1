// GetCurrentProcessId and RtlGenRandom: what a process learns of itself and
// the system's random source.
#include <errno.h>
#include <sys/random.h>
#include <unistd.h>

#include "platform/platform.h"

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
