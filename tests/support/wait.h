// Waiting for a condition, with a deadline.
#ifndef TESTS_SUPPORT_WAIT_H
#define TESTS_SUPPORT_WAIT_H

#include <functional>

// Waits until done() holds, asking every pollMs; false when it still does
// not after timeoutSeconds.
bool WaitUntil(const std::function<bool()> &done, double timeoutSeconds, int pollMs = 10);

#endif
