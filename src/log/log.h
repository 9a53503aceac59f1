// The service's plain-text log: one line per call, on disk when the call returns.
#ifndef LOG_LOG_H
#define LOG_LOG_H

// Appends text followed by CR LF to the log, control characters in it
// escaped ("\r", "\n", "\x01") but for a line feed that ends it. Returns the
// number of bytes written, 0 when the line did not fit and was taken back,
// or -1 when the log cannot be opened (the line is then dropped).
int WriteToLog(const char *text);

#endif
