// The service's plain-text log: one line per call, on disk when the call returns.
#ifndef LOG_LOG_H
#define LOG_LOG_H

// Appends text followed by CR LF to the log. Returns the number of bytes
// written, 0 when the line did not fit and was taken back, or -1 when the
// log cannot be opened (the line is then dropped).
int WriteToLog(const char *text);

#endif
