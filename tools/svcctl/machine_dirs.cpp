#include "machine_dirs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/machine_root.h"
#include "platform/posix/trust.h"
#include "platform/posix/unique_fd.h"
#include "program_launch.h"
#include "svc_error.h"

using w32::UniqueFd;

namespace {

const char kElsewhere[] = "remove it, or set W32_ROOT to a directory of your own";
const std::string kDrive = std::string(w32::kDriveDirPrefix) + "c";

// Refuses the directory at path unless it is one (not a link to one), belongs
// to root or to `trusted` (named by `whom`), and only its owner may write to
// it. The line ends with what to do: `remedy`, or for a folder inside the
// root that others may write to, taking their right away.
void CheckTrusted(const std::string &path, const struct stat &st, uid_t trusted,
                  const std::string &whom, const std::string &remedy, bool isRoot = false)
{
    if (!S_ISDIR(st.st_mode))
        throw UntrustedDirError(path + (S_ISLNK(st.st_mode) ? " is a symbolic link: "
                                                            : " is not a directory: ") +
                                remedy);
    w32::TrustVerdict verdict = w32::judge_entry(st, trusted, w32::Sharing::Private);
    if (verdict.trusted())
        return;
    std::string fix = verdict.reason == w32::TrustVerdict::ForeignOwner ? remedy
                      : isRoot ? "set W32_ROOT to a directory of your own"
                               : "chmod go-w " + path;
    throw UntrustedDirError(path + " " + DescribeDistrust(verdict, whom) + ": " + fix);
}

UniqueFd OpenMachineRoot()
{
    std::string root = w32::machine_root_path();
    UniqueFd fd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        FailErrno("cannot open " + root);
    return fd;
}

// Makes folder `name` of the machine root with exactly `mode`, owned as
// given, when it is missing.
void MakeMissingDir(int root, const char *name, mode_t mode, uid_t owner, gid_t group)
{
    if (mkdirat(root, name, mode) != 0) {
        if (errno == EEXIST)
            return;
        FailErrno("cannot create " + w32::machine_root_path() + "/" + name);
    }
    UniqueFd fd(openat(root, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    // The umask narrowed mkdir's mode; the owner goes first, as fchown may
    // clear the mode's special bits.
    if (!fd || fchown(fd.get(), owner, group) != 0 || fchmod(fd.get(), mode) != 0)
        FailErrno("cannot set up " + w32::machine_root_path() + "/" + name);
}

void CheckDrive(int root, uid_t runsAs, const std::string &whom, const std::string &remedy)
{
    struct stat st;
    std::string drive = DrivePath();
    if (fstatat(root, kDrive.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        CheckTrusted(drive, st, runsAs, whom, remedy);
    else if (errno != ENOENT)
        FailErrno("cannot examine " + drive);
}

} // namespace

std::string DrivePath()
{
    return w32::machine_root_path() + "/" + kDrive;
}

std::string MailslotPath()
{
    return w32::machine_root_path() + "/" + w32::kMailslotDir;
}

void CheckMachineRoot(const std::string &root)
{
    struct stat st;
    if (lstat(root.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return;
        FailErrno("cannot examine " + root);
    }
    CheckTrusted(root, st, geteuid(), "you or root", kElsewhere, true);
}

void CheckServicesDir(int fd, const std::string &path)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        FailErrno("cannot examine " + path);
    CheckTrusted(path, st, geteuid(), "you or root", kElsewhere);
}

void PrepareServiceDirs(const Account &account)
{
    UniqueFd root = OpenMachineRoot();
    CheckDrive(root.get(), account.uid, "root or " + account.name + ", whom the service runs as",
               "give it to " + account.name + " (chown " + account.name + ": " + DrivePath() +
                   "), or remove it");
    MakeMissingDir(root.get(), w32::kMailslotDir, 01777, geteuid(), getegid());
    MakeMissingDir(root.get(), kDrive.c_str(), 0755, account.uid, account.gid);
}

void CheckOwnDrive()
{
    CheckDrive(OpenMachineRoot().get(), geteuid(), "you or root", kElsewhere);
}
