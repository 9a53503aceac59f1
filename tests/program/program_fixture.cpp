#include "program_fixture.h"

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
