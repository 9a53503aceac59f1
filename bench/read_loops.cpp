#include "read_loops.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

int64_t ReadWholeFile(const char *path, char *buffer, size_t cbBuffer)
{
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return -1;
    int64_t total = 0;
    for (;;) {
        ssize_t n = read(fd, buffer, cbBuffer);
        if (n < 0) {
            total = -1;
            break;
        }
        if (n == 0)
            break;
        total += n;
    }
    close(fd);
    return total;
}

int64_t CountSpacesWithFgetc(const char *path)
{
    FILE *f = fopen(path, "rb");
    if (f == nullptr)
        return -1;
    int64_t n = 0;
    for (int c; (c = fgetc(f)) != EOF && c != 0x1A;)
        n += c == ' ';
    fclose(f);
    return n;
}
