// The service's log, C:\ZQ_logfile.log: where it lies in a machine root,
// and the lines the service writes there.
#ifndef TESTS_SUPPORT_SERVICE_LOG_H
#define TESTS_SUPPORT_SERVICE_LOG_H

#include <string>

std::string LogPath(const std::string &root);

// The lines logged for a path request that was counted.
std::string CountLines(const std::string &path, const std::string &count);

#endif
