// The text files the benchmarks count: made once, kept between runs.
#ifndef BENCH_BENCH_FILES_H
#define BENCH_BENCH_FILES_H

#include <stdint.h>

#include <string>

// Makes path a text file of size bytes (words, spaces and CR LF line ends, no
// 0x1A) unless a file of that size is already there. The same size always
// gives the same bytes. Returns false when it cannot be written.
bool MakeTextFile(const std::string &path, uint64_t size);

#endif
