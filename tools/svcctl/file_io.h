// Whole-file reads and writes relative to an open directory, never following
// a symbolic link.
#ifndef SVCCTL_FILE_IO_H
#define SVCCTL_FILE_IO_H

#include <string>

// False with errno set on failure.
bool ReadFileAt(int dirFd, const char *name, std::string &text);
bool WriteFileAt(int dirFd, const char *name, const std::string &text);

// Writes all of text to fd, retrying short writes; false on failure.
bool WriteAll(int fd, const std::string &text);

#endif
