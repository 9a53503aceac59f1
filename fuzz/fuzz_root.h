// A machine root of the fuzz target's own, laid out with a few files to find.
#ifndef FUZZ_FUZZ_ROOT_H
#define FUZZ_FUZZ_ROOT_H

#include <string>

// Makes the root (in memory-backed /dev/shm when there is one, so the log's
// write-through costs nothing), points W32_ROOT at it, makes it the working
// directory and lays out:
//   drive_c/abc.txt   "a b c"          drive_c/dir/inner.txt  "x y"
//   drive_c/fifo      a FIFO           drive_c/out -> /etc  (a link out)
//   drive_c/dir/up -> ../../..         spaces.txt (in the root) "1 2 3 4"
// Removed at exit. Returns its real path.
std::string MakeFuzzRoot();

// Aborts with a message: libFuzzer keeps the input that led here.
[[noreturn]] void FuzzFail(const char *what, const std::string &detail);

#endif
