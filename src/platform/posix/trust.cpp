// Which entries of the file system the layer and its tools trust: the one
// rule (judge_entry), and the walk that applies it to every step of a path.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/posix/internal.h"
#include "platform/posix/machine_root.h"

namespace w32 {
namespace {

// Links followed on one walk before it is taken for a loop, as the kernel does.
constexpr int kMaxLinks = 40;

// The path's components, last first, so the next one is popped off the back.
void push_components(const std::string &path, std::vector<std::string> *pending)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    pending->insert(pending->end(), parts.rbegin(), parts.rend());
}

std::string join(const std::vector<std::string> &names)
{
    std::string path;
    for (const std::string &name : names)
        path += "/" + name;
    return path.empty() ? "/" : path;
}

} // namespace

TrustVerdict judge_entry(const struct stat &st, uid_t trusted, Sharing sharing)
{
    TrustVerdict verdict;
    verdict.owner = st.st_uid;
    verdict.group = st.st_gid;
    verdict.mode = st.st_mode & 07777;
    if (st.st_uid != 0 && st.st_uid != trusted) {
        verdict.reason = TrustVerdict::ForeignOwner;
        return verdict;
    }
    if (S_ISLNK(st.st_mode))
        return verdict; // its own mode means nothing
    bool shared = sharing == Sharing::StickyShared && S_ISDIR(st.st_mode) &&
                  (st.st_mode & S_ISVTX) != 0;
    if ((st.st_mode & S_IWOTH) != 0 && !shared)
        verdict.reason = TrustVerdict::OthersWritable;
    else if ((st.st_mode & S_IWGRP) != 0 && !shared)
        verdict.reason = TrustVerdict::GroupWritable;
    return verdict;
}

bool owner_is_trusted(const struct stat &st)
{
    return judge_entry(st, geteuid(), Sharing::StickyShared).reason != TrustVerdict::ForeignOwner;
}

bool open_trusted_path(const std::string &path, uid_t trusted, UniqueFd *out,
                       UntrustedStep *untrusted)
{
    std::string absolute;
    if (!absolute_path(path, &absolute))
        return false;
    std::vector<std::string> pending;
    push_components(absolute, &pending);
    // The folders entered, / first, each judged already; with their names,
    // the real path of where the walk is, links resolved.
    std::vector<UniqueFd> dirs;
    std::vector<std::string> names;
    UniqueFd entry(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string step = "/";
    int links = 0;
    for (;;) {
        struct stat st;
        if (!entry.valid() || fstat(entry.get(), &st) != 0)
            return false;
        TrustVerdict verdict = judge_entry(st, trusted, Sharing::StickyShared);
        if (!verdict.trusted()) {
            *untrusted = UntrustedStep{step, verdict};
            errno = EACCES;
            return false;
        }
        if (S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            ssize_t n = readlinkat(entry.get(), "", target, sizeof target);
            if (n <= 0)
                return false;
            if (++links > kMaxLinks || n == sizeof target) {
                errno = n == sizeof target ? ENAMETOOLONG : ELOOP;
                return false;
            }
            if (target[0] == '/') {
                dirs.resize(1);
                names.clear();
            }
            push_components(std::string(target, size_t(n)), &pending);
        } else if (S_ISDIR(st.st_mode)) {
            if (!dirs.empty())
                names.push_back(step.substr(step.find_last_of('/') + 1));
            dirs.push_back(std::move(entry));
        } else if (pending.empty()) {
            *out = std::move(entry); // the file the path leads to
            return true;
        } else {
            errno = ENOTDIR;
            return false;
        }

        // The next step: a component of the folder the walk is in.
        std::string name;
        while (name.empty() && !pending.empty()) {
            name = pending.back();
            pending.pop_back();
            if (name == ".." && dirs.size() > 1) {
                dirs.pop_back();
                names.pop_back();
            }
            if (name == "." || name == "..")
                name.clear();
        }
        if (name.empty()) {
            *out = std::move(dirs.back()); // the path ends at a folder
            return true;
        }
        step = (names.empty() ? std::string() : join(names)) + "/" + name;
        entry.reset(openat(dirs.back().get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    }
}

} // namespace w32
