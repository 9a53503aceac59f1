#include "descriptors.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

void CloseInheritedDescriptors()
{
    std::vector<int> inherited;
    if (DIR *dir = opendir("/proc/self/fd")) {
        int own = dirfd(dir);
        while (dirent *e = readdir(dir)) {
            int fd = std::atoi(e->d_name);
            if (e->d_name[0] == '.' || fd <= 2 || fd == own)
                continue;
            int flags = fcntl(fd, F_GETFD);
            if (flags >= 0 && (flags & FD_CLOEXEC) == 0)
                inherited.push_back(fd);
        }
        closedir(dir);
    }
    for (int fd : inherited)
        close(fd);
}
