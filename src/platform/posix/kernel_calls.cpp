// The one table of kernel calls the layer's files and mailslots go through,
// and the hook that lets a test replace it. The table in use is published
// through an atomic pointer, so a replacement is seen whole by every thread,
// the receiver thread included.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "platform/posix/internal.h"

namespace w32 {
namespace {

// openat takes its mode as a variadic argument: the table's entry has a
// fixed one.
int real_openat(int dir, const char *path, int flags, mode_t mode)
{
    return ::openat(dir, path, flags, mode);
}

const KernelCalls kRealCalls = {
    real_openat, ::read,     ::write, ::lseek,   ::ftruncate, ::fstat,
    ::fstatat,   ::unlinkat, ::recv,  ::recvmsg, ::sendmsg,   ::sendto,
};

std::atomic<const KernelCalls *> g_calls{&kRealCalls};

} // namespace

const KernelCalls &kernel() { return *g_calls.load(std::memory_order_acquire); }

const KernelCalls &real_kernel_calls() { return kRealCalls; }

void replace_kernel_calls(const KernelCalls *calls)
{
    g_calls.store(calls, std::memory_order_release);
}

void restore_kernel_calls() { g_calls.store(&kRealCalls, std::memory_order_release); }

} // namespace w32
