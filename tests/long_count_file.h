// A file that takes the service long to count, for the tests of what
// happens meanwhile: a stop, a client that leaves, a file cut or deleted.
//
// Holes are skipped, so a long sparse file alone is over at once. This one
// is a read per range of data: kLongCountRanges ranges of one disk block,
// each holding one space, with a hole between two. About a second and a half
// of counting here for 1 GiB of page cache, which is freed unwritten when
// the test removes the file within half a minute.
#ifndef TESTS_LONG_COUNT_FILE_H
#define TESTS_LONG_COUNT_FILE_H

#include <fcntl.h>
#include <unistd.h>

#include <string>

const long kLongCountRanges = 1L << 18;

// Makes the file at path; false when it cannot be written. Its count is
// kLongCountRanges.
inline bool MakeLongCountFile(const std::string &path)
{
    int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    bool ok = fd >= 0;
    for (long i = 0; ok && i < kLongCountRanges; i++)
        ok = pwrite(fd, " ", 1, (off_t)i * 8192) == 1;
    return close(fd) == 0 && ok;
}

#endif
