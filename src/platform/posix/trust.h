// Which entries of the file system the layer and its tools trust.
#ifndef PLATFORM_POSIX_TRUST_H
#define PLATFORM_POSIX_TRUST_H

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "platform/posix/unique_fd.h"

namespace w32 {

// The one rule by which the layer and its tools trust an entry of the file
// system not to be changed behind their back: it belongs to root or to the
// trusted account, and no other account may write to it. A folder others may
// write to passes only where `sharing` allows it and it has the sticky bit,
// as /tmp has: no one may then remove or rename another's entry in it, and
// the entry is judged in turn. A symbolic link is judged by its owner alone.
enum class Sharing { Private, StickyShared };

struct TrustVerdict {
    enum Reason { Trusted, ForeignOwner, GroupWritable, OthersWritable };
    Reason reason = Trusted;
    uid_t owner = 0;  // the entry's owner and group, for the caller's message
    gid_t group = 0;
    mode_t mode = 0;  // its permission bits
    bool trusted() const { return reason == Trusted; }
};

TrustVerdict judge_entry(const struct stat &st, uid_t trusted, Sharing sharing);

// Opens the file at `path` (made absolute) with O_PATH, judging every step
// on the way for `trusted` with sticky shared folders allowed: / and each
// folder below it, each symbolic link met and, in its place, what it leads
// to. True with the descriptor of the very file judged. False with errno set
// when the path leads nowhere (ENOENT, ENOTDIR, ELOOP, ...), or with errno
// EACCES and `untrusted` naming the first step another account could change
// (its real path, links resolved) and why.
struct UntrustedStep {
    std::string path;
    TrustVerdict verdict;
};
bool open_trusted_path(const std::string &path, uid_t trusted, UniqueFd *out,
                       UntrustedStep *untrusted);

} // namespace w32

#endif
