#include "files.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "wait.h"

std::string ReadWholeFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteWholeFile(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string WaitForGrowth(const std::string &path, size_t since, const std::string &text,
                          double timeoutSeconds)
{
    std::string grown;
    WaitUntil([&] {
        std::string all = ReadWholeFile(path);
        grown = all.size() > since ? all.substr(since) : std::string();
        return grown.find(text) != std::string::npos;
    }, timeoutSeconds);
    return grown;
}

bool WaitForText(const std::string &path, const std::string &text, double timeoutSeconds)
{
    return WaitForGrowth(path, 0, text, timeoutSeconds).find(text) != std::string::npos;
}

bool WaitUntilOpen(long pid, const std::string &path, double timeoutSeconds)
{
    std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    return WaitUntil([&] {
        std::error_code ec;
        for (auto it = std::filesystem::directory_iterator(fds, ec);
             !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
            std::error_code ignored;
            if (std::filesystem::read_symlink(it->path(), ignored) == path)
                return true;
        }
        return false;
    }, timeoutSeconds, 2);
}
