// How the layer understands a Windows name: the machine root and the checked
// folders it keeps there, this machine's name (GetComputerNameA), drive paths,
// mailslot names and native paths, where a drive or native path leads,
// GetFullPathNameA, and how names compare with case aside.
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <algorithm>
#include <string>

#include "platform/posix/internal.h"
#include "platform/posix/machine_root.h"

namespace w32 {
namespace {

// The working directory, however long; false (errno set) when it cannot be
// found, as when it has been removed.
bool working_directory(std::string *cwd)
{
    std::string buffer(256, '\0');
    while (!getcwd(&buffer[0], buffer.size())) {
        if (errno != ERANGE)
            return false;
        buffer.resize(buffer.size() * 2);
    }
    buffer.resize(strlen(buffer.c_str()));
    *cwd = buffer;
    return true;
}

int open_dir_nofollow(int parent, const char *name)
{
    return kernel().openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
}

// Opens `name` under `parent` as a directory the layer may trust, creating it
// with `mode` when missing if asked to. A link, a non-directory, a foreign
// owner or an unsafe mode give ERROR_ACCESS_DENIED.
DWORD open_checked_dir(int parent, const char *name, mode_t mode, Sharing sharing,
                       UniqueFd *out, MissingDir missing)
{
    bool created = false;
    UniqueFd fd(open_dir_nofollow(parent, name));
    if (!fd.valid() && errno == ENOENT && missing == MissingDir::Create) {
        if (mkdirat(parent, name, mode) == 0)
            created = true;
        else if (errno != EEXIST)
            return errno == ENOENT ? ERROR_PATH_NOT_FOUND : error_from_errno(errno);
        fd.reset(open_dir_nofollow(parent, name));
    }
    if (!fd.valid()) {
        if (errno == ELOOP || errno == ENOTDIR)
            return ERROR_ACCESS_DENIED;
        return errno == ENOENT ? ERROR_PATH_NOT_FOUND : error_from_errno(errno);
    }
    struct stat st;
    if (kernel().fstat(fd.get(), &st) != 0)
        return error_from_errno(errno);
    if (!S_ISDIR(st.st_mode) || !owner_is_trusted(st))
        return ERROR_ACCESS_DENIED;
    // mkdir's mode passed through the umask: set the exact one we chose.
    if (created && st.st_uid == geteuid() && (st.st_mode & 07777) != mode) {
        if (fchmod(fd.get(), mode) != 0)
            return error_from_errno(errno);
        st.st_mode = (st.st_mode & ~07777) | mode;
    }
    if (!judge_entry(st, geteuid(), sharing).trusted())
        return ERROR_ACCESS_DENIED;
    *out = std::move(fd);
    return NO_ERROR;
}

// Opens folder `name` of the machine root, both checked, the folder as
// `sharing` says.
DWORD open_machine_dir(const char *name, mode_t mode, Sharing sharing, MissingDir missing,
                       UniqueFd *dir)
{
    UniqueFd root;
    DWORD err = open_checked_dir(AT_FDCWD, machine_root_path().c_str(), 0755, Sharing::Private,
                                 &root, missing);
    if (err != NO_ERROR)
        return err;
    return open_checked_dir(root.get(), name, mode, sharing, dir, missing);
}

std::string host_name()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return "localhost";
    return name;
}

// The first label of the host name, cut to MAX_COMPUTERNAME_LENGTH, upper case.
std::string computer_name()
{
    std::string name = host_name();
    name = name.substr(0, name.find('.'));
    if (name.size() > MAX_COMPUTERNAME_LENGTH)
        name.resize(MAX_COMPUTERNAME_LENGTH);
    for (char &c : name)
        c = char(toupper(static_cast<unsigned char>(c)));
    return name;
}

// Whether `host` names this machine: its host name or its computer name,
// compared without regard to case.
bool is_this_machine(const std::string &host)
{
    return strcasecmp(host.c_str(), host_name().c_str()) == 0 ||
           strcasecmp(host.c_str(), computer_name().c_str()) == 0;
}

// Whether `host` can be a machine's or a workgroup's name at all.
bool is_plausible_host(const std::string &host)
{
    if (host.empty())
        return false;
    for (unsigned char c : host)
        if (c <= ' ' || c == 0x7f)
            return false;
    return true;
}

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
    if (!is_plausible_host(host))
        return ERROR_BAD_NETPATH;
    out->host = host;
    return NO_ERROR;
}

// Why `component` under `dir` could not be entered as a directory.
DWORD walk_error(int dir, const std::string &component, int err)
{
    if (err == ENOENT)
        return ERROR_PATH_NOT_FOUND;
    if (err == ELOOP || err == ENOTDIR) {
        struct stat st;
        if (kernel().fstatat(dir, component.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(st.st_mode))
            return ERROR_ACCESS_DENIED;
        return ERROR_PATH_NOT_FOUND;
    }
    return error_from_errno(err);
}

DWORD resolve_drive_path(const FileName &name, bool may_create, FilePath *out)
{
    UniqueFd dir;
    char letter = char(tolower(static_cast<unsigned char>(name.drive)));
    std::string drive = kDriveDirPrefix + std::string(1, letter);
    DWORD err = open_machine_dir(drive.c_str(), 0755, Sharing::Private,
                                 may_create ? MissingDir::Create : MissingDir::Fail, &dir);
    if (err != NO_ERROR)
        return err;
    out->confined = true;
    if (name.components.empty()) {
        out->drive_root = true;
        out->leaf = ".";
        out->dir = std::move(dir);
        return NO_ERROR;
    }
    for (size_t i = 0; i + 1 < name.components.size(); ++i) {
        const std::string &component = name.components[i];
        UniqueFd next(kernel().openat(dir.get(), component.c_str(),
                                      O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0));
        if (!next.valid())
            return walk_error(dir.get(), component, errno);
        dir = std::move(next);
    }
    out->leaf = name.components.back();
    out->dir = std::move(dir);
    return NO_ERROR;
}

} // namespace

bool absolute_path(const std::string &path, std::string *out)
{
    std::string cwd;
    if (path[0] != '/' && !working_directory(&cwd))
        return false;
    std::string full = path[0] == '/' ? path : cwd + "/" + path;
    std::string clean;
    for (size_t start = 0; start <= full.size();) {
        size_t end = std::min(full.find('/', start), full.size());
        std::string part = full.substr(start, end - start);
        if (!part.empty() && part != ".")
            clean += "/" + part;
        start = end + 1;
    }
    *out = clean.empty() ? "/" : clean;
    return true;
}

std::string machine_root_path()
{
    const char *root = getenv("W32_ROOT");
    std::string given = (root && *root) ? root : kDefaultMachineRoot;
    std::string full;
    if (absolute_path(given, &full))
        return full;
    while (given.size() > 1 && given.back() == '/')
        given.pop_back();
    return given;
}

DWORD open_mailslot_dir(MissingDir missing, UniqueFd *dir)
{
    return open_machine_dir(kMailslotDir, 01777, Sharing::StickyShared, missing, dir);
}

DWORD open_relay_dir(UniqueFd *dir)
{
    return open_machine_dir(kRelayDir, 0755, Sharing::Private, MissingDir::Fail, dir);
}

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

DWORD resolve_file_path(const FileName &name, bool may_create, FilePath *out)
{
    *out = FilePath();
    if (name.kind == NameKind::Drive)
        return resolve_drive_path(name, may_create, out);
    out->leaf = name.native;
    return NO_ERROR;
}

DWORD missing_leaf_error(const FilePath &path)
{
    if (path.confined)
        return ERROR_FILE_NOT_FOUND;
    std::string parent = ".";
    size_t slash = path.leaf.find_last_of('/');
    if (slash == 0)
        parent = "/";
    else if (slash != std::string::npos)
        parent = path.leaf.substr(0, slash);
    struct stat st;
    if (stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return ERROR_PATH_NOT_FOUND;
    return ERROR_FILE_NOT_FOUND;
}

namespace {

// The C library's Unicode case tables, whatever locale the program runs in
// (the "C" locale maps ASCII alone); null when the system has no UTF-8 locale,
// and names then fold in ASCII.
locale_t unicode_ctype()
{
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    return locale;
}

// The UTF-8 character at text[i] and its length; false for a byte that starts
// none (a stray continuation byte, an overlong form, a surrogate, beyond
// U+10FFFF, cut short).
bool decode_utf8(const std::string &text, size_t i, wint_t *c, size_t *length)
{
    unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t n = lead < 0x80 ? 1 : lead >= 0xc2 && lead < 0xe0 ? 2 : lead >= 0xe0 && lead < 0xf0 ? 3
             : lead >= 0xf0 && lead < 0xf5 ? 4 : 0;
    if (n == 0 || i + n > text.size())
        return false;
    static const wint_t kLeadMask[] = {0, 0x7f, 0x1f, 0x0f, 0x07};
    static const wint_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    wint_t value = lead & kLeadMask[n];
    for (size_t k = 1; k < n; ++k) {
        unsigned char next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xc0) != 0x80)
            return false;
        value = (value << 6) | (next & 0x3f);
    }
    if (value < kSmallest[n] || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff))
        return false;
    *c = value;
    *length = n;
    return true;
}

void encode_utf8(wint_t c, std::string *out)
{
    if (c < 0x80) {
        *out += char(c);
        return;
    }
    size_t n = c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    static const unsigned char kLead[] = {0, 0, 0xc0, 0xe0, 0xf0};
    *out += char(kLead[n] | (c >> (6 * (n - 1))));
    for (size_t k = n - 1; k > 0; --k)
        *out += char(0x80 | ((c >> (6 * (k - 1))) & 0x3f));
}

} // namespace

std::string fold_name_case(const std::string &name)
{
    locale_t locale = unicode_ctype();
    std::string folded;
    for (size_t i = 0; i < name.size();) {
        wint_t c;
        size_t length;
        if (!decode_utf8(name, i, &c, &length)) {
            folded += name[i++];
            continue;
        }
        if (locale)
            c = towlower_l(towupper_l(c, locale), locale);
        else if (c < 0x80)
            c = wint_t(tolower(int(c)));
        encode_utf8(c, &folded);
        i += length;
    }
    return folded;
}

bool same_name(const std::string &a, const std::string &b)
{
    return a == b || fold_name_case(a) == fold_name_case(b);
}

} // namespace w32

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
    std::string cwd;
    if (!working_directory(&cwd))
        return error_from_errno(errno);
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

extern "C" BOOL GetComputerNameA(LPSTR lpBuffer, LPDWORD nSize)
{
    if (!nSize)
        return fail(ERROR_INVALID_PARAMETER);
    std::string name = computer_name();
    DWORD needed = DWORD(name.size() + 1);
    if (!lpBuffer || *nSize < needed) {
        *nSize = needed;
        return fail(ERROR_BUFFER_OVERFLOW);
    }
    memcpy(lpBuffer, name.c_str(), needed);
    *nSize = needed - 1;
    return succeed();
}
