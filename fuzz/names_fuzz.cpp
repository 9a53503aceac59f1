// Names as CreateFileA and GetFullPathNameA take them, through the POSIX
// layer's mapping: a drive path or a mailslot name must always land inside
// the machine root (drive_x or mailslot/), whatever its separators, dots,
// links on the way or length; a native path is used as given.
#include <ctype.h>
#include <fcntl.h>
#include <stdint.h>
#include <stddef.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz_root.h"
#include "platform/platform.h"
#include "platform/posix/windows_names.h"

using namespace w32;

namespace {

std::string g_root;

void Expect(bool ok, const char *what, const std::string &detail)
{
    if (!ok)
        FuzzFail(what, detail);
}

std::string FdPath(int fd)
{
    char target[4096];
    std::string link = w32::descriptor_path(fd);
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    return n < 0 ? std::string() : std::string(target, size_t(n));
}

bool IsWithin(const std::string &path, const std::string &dir)
{
    return path == dir || (path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '/');
}

bool IsPlainComponent(const std::string &c)
{
    if (c.empty() || c == "." || c == "..")
        return false;
    for (unsigned char ch : c)
        if (ch < 32 || strchr("<>:\"|?*/\\", ch))
            return false;
    return true;
}

void CheckDrive(const std::string &name, const FileName &parsed)
{
    Expect(isalpha((unsigned char)parsed.drive), "drive letter", name);
    for (const std::string &c : parsed.components)
        Expect(IsPlainComponent(c), "drive component", c);

    FilePath path;
    if (resolve_file_path(parsed, true, &path) != NO_ERROR)
        return;
    std::string drive = g_root + "/drive_" + char(tolower((unsigned char)parsed.drive));
    std::string dir = FdPath(path.dir.get());
    Expect(path.confined && IsWithin(dir, drive), "resolved inside the drive", name + " -> " + dir);
    Expect(path.drive_root ? path.leaf == "." : IsPlainComponent(path.leaf), "leaf", path.leaf);

    // What the layer would open: never through a link, never outside.
    int fd = openat(path.dir.get(), path.leaf.c_str(),
                    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        Expect(IsWithin(FdPath(fd), drive), "opened inside the drive", name);
        close(fd);
    }

    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, 0, NULL);
    if (h != INVALID_HANDLE_VALUE) {
        struct stat st;
        Expect(fstatat(path.dir.get(), path.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                   !S_ISLNK(st.st_mode),
               "CreateFileA opened no link", name);
        CloseHandle(h);
    }
}

void CheckMailslot(const std::string &name, const FileName &parsed)
{
    Expect(!parsed.slot.empty() && parsed.slot != "." && parsed.slot != ".." &&
               parsed.slot.find_first_of("/\\") == std::string::npos,
           "slot name is one component", name);
    SlotPlace place;
    if (find_slot_place(parsed.slot, MissingDir::Create, &place) != NO_ERROR)
        return;
    Expect(FdPath(place.dir.get()) == g_root + "/mailslot", "mailslot directory", name);
    // The holder's address: abstract, within its bounds, ending in the name
    // with its case folded (which may change its length beyond ASCII).
    const std::string folded = fold_name_case(parsed.slot);
    size_t length = place.holder_length - offsetof(struct sockaddr_un, sun_path);
    Expect(place.holder.sun_path[0] == '\0' && length <= sizeof place.holder.sun_path &&
               length > folded.size(),
           "holder address", name);
    std::string tail(place.holder.sun_path + length - folded.size(), folded.size());
    Expect(tail == folded, "holder address ends in the folded name", tail);
}

// GetFullPathNameA's sizes and terminator; a drive path comes back in a form
// that parses to itself.
void CheckFullPath(const std::string &name, const FileName &parsed, DWORD parseError)
{
    DWORD needed = GetFullPathNameA(name.c_str(), 0, NULL, NULL);
    if (needed == 0)
        return;
    std::vector<char> exact(needed);
    LPSTR part = nullptr;
    DWORD got = GetFullPathNameA(name.c_str(), needed, exact.data(), &part);
    Expect(got + 1 == needed && exact[got] == '\0' && strlen(exact.data()) == got,
           "full path length", name);
    Expect(part == nullptr || (part >= exact.data() && part < exact.data() + got), "file part",
           name);
    if (needed > 1) {
        std::vector<char> small(needed - 1, 'x');
        Expect(GetFullPathNameA(name.c_str(), needed - 1, small.data(), NULL) == needed,
               "too small a buffer", name);
    }
    if (parsed.kind == NameKind::Drive && parseError == NO_ERROR) {
        FileName again;
        Expect(parse_file_name(exact.data(), &again) == NO_ERROR &&
                   again.kind == NameKind::Drive && again.components == parsed.components,
               "full path parses to itself", exact.data());
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    g_root = MakeFuzzRoot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *bytes = reinterpret_cast<const char *>(data);
    std::string name(bytes, strnlen(bytes, size));
    FileName parsed;
    DWORD err = parse_file_name(name.c_str(), &parsed);
    if (err == NO_ERROR && parsed.kind == NameKind::Drive)
        CheckDrive(name, parsed);
    if (err == NO_ERROR && parsed.kind == NameKind::Mailslot)
        CheckMailslot(name, parsed);
    CheckFullPath(name, parsed, err);
    return 0;
}
