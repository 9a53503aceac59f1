// Wine, which runs the Windows build of these tests (tests/windows), departs
// from Windows in a few places. Such a case skips itself there: it still says
// what Windows does, and still runs against the POSIX stand-in.
#ifndef TESTS_PLATFORM_WINE_H
#define TESTS_PLATFORM_WINE_H

#include <stdlib.h>

#include <gtest/gtest.h>

// tests/windows/platform_test.sh sets RUNNING_UNDER_WINE.
inline bool running_under_wine() { return getenv("RUNNING_UNDER_WINE") != nullptr; }

#define SKIP_UNDER_WINE(departure)                                                            \
    do {                                                                                      \
        if (running_under_wine())                                                             \
            GTEST_SKIP() << "Wine " departure;                                                \
    } while (0)

#endif
