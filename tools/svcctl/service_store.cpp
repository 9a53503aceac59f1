#include "service_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/posix/machine_root.h"
#include "platform/posix/trust.h"
#include "platform/posix/unique_fd.h"
#include "platform/posix/windows_names.h"
#include "control_wire.h"

using w32::UniqueFd;

namespace {

const char kServicesDir[] = "services";
const char kProgramFile[] = "program";
const char kUserFile[] = "user";
const char kHistoryFile[] = "history";
const char kLockFile[] = "lock";
const char kSocketFile[] = "control.sock";
const char kNameFile[] = "name";
const char kLongEntryPrefix[] = ".long-";

// Whole-file reads and writes relative to the open directory dirFd, never
// following a symbolic link; false with errno set on failure.
bool ReadFileAt(int dirFd, const char *name, std::string &text)
{
    UniqueFd fd(openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        return false;
    text.clear();
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        text.append(buf, static_cast<size_t>(n));
    }
}

// A file of one line, without its line end; false with errno set on failure.
bool ReadLineAt(int dirFd, const char *name, std::string &line)
{
    if (!ReadFileAt(dirFd, name, line))
        return false;
    while (!line.empty() && line.back() == '\n')
        line.pop_back();
    return true;
}

bool WriteFileAt(int dirFd, const char *name, const std::string &text)
{
    UniqueFd fd(openat(dirFd, name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    return fd && WriteAll(fd.get(), text);
}

// A name longer than a directory entry may be lives under an entry made from
// it, of fixed length and starting with a dot as no name may; the directory's
// name file holds the name itself. Every other name is its own entry.
bool IsLongName(const std::string &name)
{
    return name.size() > NAME_MAX;
}

std::string LongNameEntry(const std::string &name)
{
    // FNV-1a over the name with its case folded, as names ignore case.
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : w32::fold_name_case(name)) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char entry[32];
    std::snprintf(entry, sizeof entry, "%s%016llx", kLongEntryPrefix,
                  static_cast<unsigned long long>(hash));
    return entry;
}

} // namespace

std::string AbsolutePath(const std::string &path)
{
    std::string full;
    if (!w32::absolute_path(path, &full))
        FailErrno("cannot find the current directory");
    return full;
}

namespace {

void MakeDirectories(const std::string &path)
{
    for (size_t i = 1; i <= path.size(); i++) {
        if (i == path.size() || path[i] == '/') {
            std::string prefix = path.substr(0, i);
            if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST)
                FailErrno("cannot create " + prefix);
        }
    }
}

// A service's directory is private to the account that created it.
void CheckServiceDir(int fd, const std::string &name)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        FailErrno("cannot examine the directory of \"" + name + "\"");
    if (st.st_uid != geteuid())
        Fail(ERROR_ACCESS_DENIED, "\"" + name + "\" belongs to another account");
    if ((st.st_mode & 077) != 0)
        Fail(ERROR_ACCESS_DENIED, "the directory of \"" + name +
                                     "\" is open to other accounts: refusing to use it");
}

} // namespace

void CheckServiceName(const std::string &name)
{
    bool ok = !name.empty() && name.size() <= 256 && name[0] != '.';
    for (unsigned char c : name)
        ok = ok && c >= 0x20 && c != 0x7f && c != '/' && c != '\\';
    if (!ok)
        Fail(ERROR_INVALID_NAME, "a service name has 1 to 256 printable characters, no / or \\, "
                                "and does not start with a dot");
}

ServiceStore ServiceStore::OpenOrCreate()
{
    std::string root = w32::machine_root_path();
    std::string path = root + "/" + kServicesDir;
    CheckMachineRoot(root);
    MakeDirectories(root);
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        FailErrno("cannot create " + path);
    return OpenAt(path);
}

ServiceStore ServiceStore::Open()
{
    std::string root = w32::machine_root_path();
    struct stat st;
    if (stat(root.c_str(), &st) != 0 && errno == ENOENT)
        Fail(ERROR_SERVICE_DOES_NOT_EXIST,
             "nothing is registered: the machine root " + root + " does not exist");
    CheckMachineRoot(root);
    std::string path = root + "/" + kServicesDir;
    if (lstat(path.c_str(), &st) != 0 && errno == ENOENT)
        Fail(ERROR_SERVICE_DOES_NOT_EXIST,
             "nothing is registered: " + root + " has no services folder");
    return OpenAt(path);
}

ServiceStore ServiceStore::OpenAt(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        Fail(ERROR_ACCESS_DENIED, path + " is a symbolic link: refusing to use it");
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        FailErrno("cannot open " + path);
    CheckServicesDir(fd.get(), path);
    return ServiceStore(std::move(fd), path);
}

bool ServiceStore::FindEntry(const std::string &name, std::string &entry) const
{
    int copy = dup(fd_.get());
    DIR *dir = copy >= 0 ? fdopendir(copy) : nullptr;
    if (dir == nullptr) {
        if (copy >= 0)
            close(copy);
        FailErrno("cannot read " + path_);
    }
    rewinddir(dir);
    bool found = false;
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] != '.' && w32::same_name(e->d_name, name)) {
            entry = e->d_name;
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

ServiceDir ServiceStore::Find(const std::string &name) const
{
    CheckServiceName(name);
    std::string entry = IsLongName(name) ? LongNameEntry(name) : std::string();
    if (entry.empty() && !FindEntry(name, entry))
        Fail(ERROR_SERVICE_DOES_NOT_EXIST);
    UniqueFd fd(openat(fd_.get(), entry.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT)
            Fail(ERROR_SERVICE_DOES_NOT_EXIST);
        if (errno == ELOOP || errno == ENOTDIR)
            Fail(ERROR_ACCESS_DENIED, "the entry of \"" + name + "\" is not a directory");
        FailErrno("cannot open the directory of \"" + name + "\"");
    }
    CheckServiceDir(fd.get(), name);
    if (!IsLongName(name))
        return ServiceDir(std::move(fd), entry, entry);
    std::string registered;
    if (!ReadFileAt(fd.get(), kNameFile, registered) ||
        !w32::same_name(registered, name))
        Fail(ERROR_SERVICE_DOES_NOT_EXIST);
    return ServiceDir(std::move(fd), registered, entry);
}

ServiceDir ServiceStore::Create(const std::string &name, const std::string &program,
                               const std::string &user) const
{
    CheckServiceName(name);
    std::string entry = IsLongName(name) ? LongNameEntry(name) : name;
    std::string found;
    if (IsLongName(name) ? faccessat(fd_.get(), entry.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0
                         : FindEntry(name, found))
        Fail(ERROR_SERVICE_EXISTS);

    // Made complete under a temporary name, then renamed into place, so no
    // one ever sees a service without its program.
    std::string temp = ".new-" + std::to_string(getpid());
    if (mkdirat(fd_.get(), temp.c_str(), 0700) != 0)
        FailErrno("cannot create a directory in " + path_);
    UniqueFd fd(openat(fd_.get(), temp.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    bool written = fd && WriteFileAt(fd.get(), kProgramFile, program + "\n") &&
                   (!IsLongName(name) || WriteFileAt(fd.get(), kNameFile, name)) &&
                   (user.empty() || WriteFileAt(fd.get(), kUserFile, user + "\n"));
    if (!written || renameat(fd_.get(), temp.c_str(), fd_.get(), entry.c_str()) != 0) {
        int err = errno;
        unlinkat(fd.get(), kProgramFile, 0);
        unlinkat(fd.get(), kNameFile, 0);
        unlinkat(fd.get(), kUserFile, 0);
        unlinkat(fd_.get(), temp.c_str(), AT_REMOVEDIR);
        errno = err;
        if (err == EEXIST || err == ENOTEMPTY)
            Fail(ERROR_SERVICE_EXISTS);
        FailErrno("cannot register \"" + name + "\" in " + path_);
    }
    return ServiceDir(std::move(fd), name, entry);
}

void ServiceStore::Remove(const ServiceDir &dir) const
{
    UniqueFd lock = dir.TryLock();
    if (!lock)
        Fail(ERROR_SERVICE_ALREADY_RUNNING, "stop it before deleting it");
    for (const char *file : {kProgramFile, kNameFile, kUserFile, kHistoryFile, kSocketFile, kLockFile})
        unlinkat(dir.fd(), file, 0);
    if (unlinkat(fd_.get(), dir.entry().c_str(), AT_REMOVEDIR) != 0)
        FailErrno("cannot remove the directory of \"" + dir.name() + "\"");
}

std::string ServiceDir::Program() const
{
    std::string text;
    if (!ReadLineAt(fd_.get(), kProgramFile, text))
        FailErrno("cannot read the program of \"" + name_ + "\"");
    return text;
}

std::string ServiceDir::User() const
{
    std::string text;
    if (!ReadLineAt(fd_.get(), kUserFile, text) && errno != ENOENT) // none: registered without one
        FailErrno("cannot read the account of \"" + name_ + "\"");
    return text;
}

uid_t ServiceDir::Owner() const
{
    struct stat st;
    if (fstat(fd_.get(), &st) != 0)
        FailErrno("cannot examine the directory of \"" + name_ + "\"");
    return st.st_uid;
}

std::vector<ServiceRecord> ServiceDir::History() const
{
    std::vector<ServiceRecord> records;
    std::string text;
    if (!ReadFileAt(fd_.get(), kHistoryFile, text))
        return records; // never started
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        if (auto record = ParseRecordWords(text.substr(start, end - start)))
            records.push_back(*record);
        start = end + 1;
    }
    return records;
}

UniqueFd ServiceDir::StartHistory() const
{
    UniqueFd fd(openat(fd_.get(), kHistoryFile,
                       O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd)
        FailErrno("cannot write the history of \"" + name_ + "\"");
    return fd;
}

bool ServiceDir::AppendHistory(int historyFd, const ServiceRecord &record)
{
    return WriteAll(historyFd, FormatRecordWords(record) + "\n");
}

UniqueFd ServiceDir::TryLock() const
{
    UniqueFd fd(openat(fd_.get(), kLockFile, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd)
        FailErrno("cannot open the lock of \"" + name_ + "\"");
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            return UniqueFd();
        FailErrno("cannot lock \"" + name_ + "\"");
    }
    return fd;
}

std::string ServiceDir::SocketPath() const
{
    return w32::descriptor_path(fd_.get()) + "/" + kSocketFile;
}

void ServiceDir::RemoveSocket() const
{
    unlinkat(fd_.get(), kSocketFile, 0);
}
