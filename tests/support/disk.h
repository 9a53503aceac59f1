// Files and file systems for the tests of what happens while the service
// works or fails: a file it takes long to count, and a small disk to fill.
#ifndef TESTS_SUPPORT_DISK_H
#define TESTS_SUPPORT_DISK_H

#include <string>

// Holes are skipped, so a long sparse file alone is counted at once. The
// long count file is a read per range of data: kLongCountRanges ranges of
// one disk block, each holding one space, with a hole between two. About a
// second and a half of counting here for 1 GiB of page cache, which is freed
// unwritten when the test removes the file within half a minute.
const long kLongCountRanges = 1L << 18;

// Makes the long count file at path; false when it cannot be written. Its
// count is kLongCountRanges.
bool MakeLongCountFile(const std::string &path);

// A small file system of its own (tmpfs, with mount options such as
// "size=64k,mode=0755") mounted over dir while this lives. Needs root.
class SmallDisk {
public:
    SmallDisk(const std::string &dir, const std::string &options);
    ~SmallDisk();
    SmallDisk(const SmallDisk &) = delete;
    SmallDisk &operator=(const SmallDisk &) = delete;

    bool mounted() const { return mounted_; }
    // Fills it to the last byte; returns the file that holds it all.
    std::string Fill() const;

private:
    std::string dir_;
    bool mounted_;
};

#endif
