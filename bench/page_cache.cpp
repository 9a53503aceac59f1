#include "page_cache.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

double DropFromPageCache(const char *path)
{
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return 1;
    struct stat st;
    double resident = 1;
    // Only clean pages can be dropped.
    if (fstat(fd, &st) == 0 && st.st_size > 0 && fdatasync(fd) == 0 &&
        posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0) {
        void *map = mmap(NULL, (size_t)st.st_size, PROT_READ, MAP_SHARED, fd, 0);
        if (map != MAP_FAILED) {
            size_t page = (size_t)sysconf(_SC_PAGESIZE);
            size_t pages = ((size_t)st.st_size + page - 1) / page;
            unsigned char *vec = (unsigned char *)malloc(pages);
            if (vec != NULL && mincore(map, (size_t)st.st_size, vec) == 0) {
                size_t in = 0;
                for (size_t i = 0; i < pages; i++)
                    in += vec[i] & 1;
                resident = (double)in / (double)pages;
            }
            free(vec);
            munmap(map, (size_t)st.st_size);
        }
    }
    close(fd);
    return resident;
}
