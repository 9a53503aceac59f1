#include "file_name.h"

#include <string.h>
#include <strings.h>

#include "machine_name.h"

namespace w32 {
namespace {

bool is_separator(char c) { return c == '\\' || c == '/'; }

bool is_drive_prefix(const char *name)
{
    char c = name[0];
    return ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) && name[1] == ':';
}

// Characters Windows refuses in a file name component.
bool is_valid_component(const std::string &component)
{
    for (unsigned char c : component) {
        if (c < 32 || strchr("<>:\"|?*", c))
            return false;
    }
    return true;
}

DWORD parse_drive_path(const char *name, FileName *out)
{
    out->kind = NameKind::Drive;
    out->drive = name[0];
    const char *rest = name + 2;
    size_t length = strlen(rest);
    out->trailing_separator = length > 0 && is_separator(rest[length - 1]);
    std::string component;
    for (const char *p = rest;; ++p) {
        if (*p && !is_separator(*p)) {
            component += *p;
            continue;
        }
        if (component == "..") {
            if (!out->components.empty())
                out->components.pop_back();
        } else if (!component.empty() && component != ".") {
            if (!is_valid_component(component))
                return ERROR_INVALID_NAME;
            out->components.push_back(component);
        }
        component.clear();
        if (!*p)
            break;
    }
    return NO_ERROR;
}

// A mailslot NAME must be one safe component of the mailslot directory.
bool is_valid_slot_name(const std::string &slot)
{
    return !slot.empty() && slot != "." && slot != ".." &&
           slot.find_first_of("/\\") == std::string::npos;
}

// `name` starts with two backslashes: a device, a mailslot or a network name.
DWORD parse_unc(const char *name, FileName *out)
{
    const char *host_start = name + 2;
    const char *host_end = strchr(host_start, '\\');
    std::string host(host_start, host_end ? size_t(host_end - host_start) : strlen(host_start));
    bool local_device = host == "." || host == "?";
    const char *kind_start = host_end ? host_end + 1 : nullptr;
    const char *kind_end = kind_start ? strchr(kind_start, '\\') : nullptr;
    bool is_mailslot = kind_end && size_t(kind_end - kind_start) == 8 &&
                       strncasecmp(kind_start, "mailslot", 8) == 0;
    if (!is_mailslot)
        return local_device ? ERROR_FILE_NOT_FOUND : ERROR_BAD_NETPATH;

    out->kind = NameKind::Mailslot;
    out->slot = kind_end + 1;
    if (!is_valid_slot_name(out->slot))
        return ERROR_INVALID_NAME;
    if (host == "*") {
        out->broadcast = true;
        return NO_ERROR;
    }
    if (host == "." || is_this_machine(host))
        return NO_ERROR;
    return ERROR_BAD_NETPATH;
}

} // namespace

DWORD parse_file_name(const char *name, FileName *out)
{
    *out = FileName();
    if (!name || !*name)
        return ERROR_PATH_NOT_FOUND;
    if (strncmp(name, "\\\\?\\", 4) == 0 && is_drive_prefix(name + 4))
        return parse_drive_path(name + 4, out);
    if (is_drive_prefix(name))
        return parse_drive_path(name, out);
    if (name[0] == '\\' && name[1] == '\\')
        return parse_unc(name, out);
    out->kind = NameKind::Native;
    out->native = name;
    return NO_ERROR;
}

} // namespace w32
