#include "wait.h"

#include <chrono>
#include <thread>

bool WaitUntil(const std::function<bool()> &done, double timeoutSeconds, int pollMs)
{
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (!done()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
    return true;
}
