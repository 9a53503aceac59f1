// GetFullPathNameA: a drive path comes back normalised ("C:\a\b"), a
// relative native path is made absolute against the working directory, and
// anything else (absolute native paths, mailslot names) is returned as is.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "file_name.h"
#include "last_error.h"

using namespace w32;

namespace {

std::string drive_full_path(const FileName &name)
{
    std::string path(1, name.drive);
    path += ":\\";
    for (size_t i = 0; i < name.components.size(); ++i) {
        if (i > 0)
            path += '\\';
        path += name.components[i];
    }
    if (name.trailing_separator && !name.components.empty())
        path += '\\';
    return path;
}

DWORD native_full_path(const char *name, std::string *path)
{
    if (name[0] == '/' || (name[0] == '\\' && name[1] == '\\')) {
        *path = name;
        return NO_ERROR;
    }
    std::string cwd(256, '\0');
    while (!getcwd(&cwd[0], cwd.size())) {
        if (errno != ERANGE)
            return error_from_errno(errno);
        cwd.resize(cwd.size() * 2);
    }
    cwd.resize(strlen(cwd.c_str()));
    *path = cwd == "/" ? "/" + std::string(name) : cwd + "/" + name;
    return NO_ERROR;
}

} // namespace

extern "C" DWORD GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer,
                                  LPSTR *lpFilePart)
{
    if (lpFilePart)
        *lpFilePart = nullptr;
    if (!lpFileName || !*lpFileName) {
        set_error(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    FileName name;
    DWORD err = parse_file_name(lpFileName, &name);
    std::string path;
    if (name.kind == NameKind::Drive) {
        if (err == NO_ERROR)
            path = drive_full_path(name);
    } else {
        err = native_full_path(lpFileName, &path);
    }
    if (err != NO_ERROR) {
        set_error(err);
        return 0;
    }
    set_error(NO_ERROR);
    if (!lpBuffer || nBufferLength < path.size() + 1)
        return DWORD(path.size() + 1);
    memcpy(lpBuffer, path.c_str(), path.size() + 1);
    if (lpFilePart) {
        size_t last = path.find_last_of("\\/");
        if (last == std::string::npos)
            *lpFilePart = lpBuffer;
        else if (last + 1 < path.size())
            *lpFilePart = lpBuffer + last + 1;
    }
    return DWORD(path.size());
}
