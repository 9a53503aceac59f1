#include "service_log.h"

std::string LogPath(const std::string &root)
{
    return root + "/drive_c/ZQ_logfile.log";
}

std::string CountLines(const std::string &path, const std::string &count)
{
    return "Received: <" + path + ">\n\r\n(Server): file:" + path + ", spaces = " + count +
           "\n\r\nBytes sent " + std::to_string(count.size() + 1) + "\n\r\n";
}
