// CreateThread, CreateEventA, SetEvent and WaitForSingleObject: threads and
// events as handles, and IsProcessorFeaturePresent, what the processor
// offers.
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/posix/internal.h"

namespace w32 {
namespace {

// A flag to wait for under a mutex: what a thread's end and an event share.
class Signal : public HandleObject {
public:
    Signal(bool manual, bool set) : manual_(manual), set_(set) {}

    void raise()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        set_ = true;
        if (manual_)
            changed_.notify_all();
        else
            changed_.notify_one();
    }

    DWORD wait(DWORD ms) override
    {
        std::unique_lock<std::mutex> lock(mutex_);
        auto is_set = [this] { return set_; };
        if (ms == INFINITE)
            changed_.wait(lock, is_set);
        else if (!changed_.wait_for(lock, std::chrono::milliseconds(ms), is_set))
            return WAIT_TIMEOUT;
        if (!manual_)
            set_ = false;
        return WAIT_OBJECT_0;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    const bool manual_;
    bool set_;
};

class Event : public Signal {
public:
    using Signal::Signal;
};

// Signaled for good once the routine has returned. The running thread holds
// the object too, so closing the handle does not end or wait for it.
class Thread : public Signal {
public:
    Thread(LPTHREAD_START_ROUTINE routine, LPVOID parameter)
        : Signal(true, false), routine_(routine), parameter_(parameter)
    {
    }

    static void *run(void *self)
    {
        auto *owner = static_cast<std::shared_ptr<Thread> *>(self);
        std::shared_ptr<Thread> thread = std::move(*owner);
        delete owner;
        thread->routine_(thread->parameter_);
        thread->raise();
        return nullptr;
    }

private:
    LPTHREAD_START_ROUTINE routine_;
    LPVOID parameter_;
};

} // namespace
} // namespace w32

extern "C" HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                               LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                               DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    (void)lpThreadAttributes, (void)dwStackSize, (void)dwCreationFlags;
    if (lpStartAddress == nullptr) {
        w32::set_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto thread = std::make_shared<w32::Thread>(lpStartAddress, lpParameter);
    HANDLE handle = w32::handle_add(thread);
    if (handle == INVALID_HANDLE_VALUE) {
        w32::set_error(ERROR_TOO_MANY_OPEN_FILES);
        return nullptr;
    }
    pthread_t id;
    auto *owner = new std::shared_ptr<w32::Thread>(thread);
    int err = pthread_create(&id, nullptr, w32::Thread::run, owner);
    if (err != 0) {
        delete owner;
        w32::handle_remove(handle);
        w32::set_error(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    pthread_detach(id);
    if (lpThreadId != nullptr)
        *lpThreadId = DWORD(uintptr_t(handle) >> 2);
    w32::set_error(NO_ERROR);
    return handle;
}

extern "C" HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                               BOOL bInitialState, LPCSTR lpName)
{
    (void)lpEventAttributes;
    if (lpName != nullptr) { // no named objects between processes here
        w32::set_error(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    HANDLE handle = w32::handle_add(
        std::make_shared<w32::Event>(bManualReset != FALSE, bInitialState != FALSE));
    if (handle == INVALID_HANDLE_VALUE) {
        w32::set_error(ERROR_TOO_MANY_OPEN_FILES);
        return nullptr;
    }
    w32::set_error(NO_ERROR);
    return handle;
}

extern "C" BOOL SetEvent(HANDLE hEvent)
{
    auto event = std::dynamic_pointer_cast<w32::Event>(w32::handle_get(hEvent));
    if (!event)
        return w32::fail(ERROR_INVALID_HANDLE);
    event->raise();
    return w32::succeed();
}

extern "C" DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    std::shared_ptr<w32::HandleObject> object = w32::handle_get(hHandle);
    DWORD result = object ? object->wait(dwMilliseconds) : WAIT_FAILED;
    if (result == WAIT_FAILED)
        w32::set_error(ERROR_INVALID_HANDLE);
    return result;
}

extern "C" BOOL IsProcessorFeaturePresent(DWORD ProcessorFeature)
{
#if defined(__i386__) || defined(__x86_64__)
    // The compiler's own look at CPUID, which also asks whether the system
    // saves the wide registers; it may run before any constructor.
    __builtin_cpu_init();
    switch (ProcessorFeature) {
    case PF_XMMI64_INSTRUCTIONS_AVAILABLE:
        return __builtin_cpu_supports("sse2") ? TRUE : FALSE;
    case PF_AVX2_INSTRUCTIONS_AVAILABLE:
        return __builtin_cpu_supports("avx2") ? TRUE : FALSE;
    }
#endif
    (void)ProcessorFeature;
    return FALSE;
}
