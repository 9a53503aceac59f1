#include "wait.h"

#include <chrono>
#include <thread>

bool WaitUntil(const std::function<bool()> &done, double timeoutSeconds, int pollMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
    return true;
}
