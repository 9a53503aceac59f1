// Whole files: read, written, watched as they grow, and looked for among
// what a process holds open.
#ifndef TESTS_SUPPORT_FILES_H
#define TESTS_SUPPORT_FILES_H

#include <stddef.h>

#include <string>

// The file's bytes, or "" when it cannot be read.
std::string ReadWholeFile(const std::string &path);

// Makes the file hold exactly these bytes.
void WriteWholeFile(const std::string &path, const std::string &bytes);

// Waits until what the file holds past offset `since` contains text, and
// returns that part (as it was at the timeout when it never did).
std::string WaitForGrowth(const std::string &path, size_t since, const std::string &text,
                          double timeoutSeconds);

// Waits until the file holds text; false after timeoutSeconds.
bool WaitForText(const std::string &path, const std::string &text, double timeoutSeconds);

// Waits until process pid has the file at path open; false after timeoutSeconds.
bool WaitUntilOpen(long pid, const std::string &path, double timeoutSeconds = 10);

#endif
