// Making a file cold: out of the page cache, so reading it goes to the disk.
#ifndef BENCH_PAGE_CACHE_H
#define BENCH_PAGE_CACHE_H

// Writes back and drops the file's own pages, and no one else's. Returns the
// share of its pages still resident afterwards (1 when that cannot be told).
double DropFromPageCache(const char *path);

#endif
