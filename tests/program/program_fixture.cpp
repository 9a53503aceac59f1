#include "program_fixture.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

std::string MakeMachineRoot()
{
    char pattern[] = "/tmp/w32root-test-XXXXXX";
    const char *dir = mkdtemp(pattern);
    EXPECT_NE(dir, nullptr);
    // Other accounts must reach the mailslot namespace inside it.
    chmod(dir, 0755);
    setenv("W32_ROOT", dir, 1);
    return dir;
}

void RemoveMachineRoot(const std::string &root)
{
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

std::string LogPath(const std::string &root)
{
    return root + "/drive_c/ZQ_logfile.log";
}

std::string ReadWholeFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteWholeFile(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

bool SendRequest(const std::string &bytes)
{
    HANDLE h = CreateFileA("\\\\.\\mailslot\\$Channel1$", GENERIC_WRITE, FILE_SHARE_READ, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD cbWritten = 0;
    BOOL ok = WriteFile(h, bytes.data(), (DWORD)bytes.size(), &cbWritten, NULL);
    CloseHandle(h);
    return ok && cbWritten == bytes.size();
}

bool WaitForMessage(HANDLE hSlot, std::string *message, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    do {
        DWORD cbNext = 0, count = 0;
        if (GetMailslotInfo(hSlot, NULL, &cbNext, &count, NULL) && count > 0) {
            char buffer[2048];
            DWORD cbRead = 0;
            if (!ReadFile(hSlot, buffer, sizeof buffer, &cbRead, NULL))
                return false;
            message->assign(buffer, cbRead);
            return true;
        }
        Sleep(5);
    } while (GetTickCount() - start < timeoutMs);
    return false;
}

std::string WaitForLogGrowth(const std::string &path, size_t since, const std::string &needle,
                             DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    std::string tail;
    do {
        std::string all = ReadWholeFile(path);
        tail = all.size() > since ? all.substr(since) : std::string();
        if (tail.find(needle) != std::string::npos)
            break;
        Sleep(5);
    } while (GetTickCount() - start < timeoutMs);
    return tail;
}
