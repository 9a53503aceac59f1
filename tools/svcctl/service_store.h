// Where services are registered (the machine root's folders: machine_dirs.h).
//
// $W32_ROOT/services/NAME/: one directory per service, private to the
// account that created it. A name too long for a
// directory entry (256 bytes) has the entry .long-HASH instead.
//   program       the program's absolute path
//   user          the account it runs as, when registered with one
//   name          the name, for an entry that is not the name itself
//   history       the status reports since the last start, one per line
//   lock          held by the supervising process while the service runs
//   control.sock  the supervising process's control socket
#ifndef SVCCTL_SERVICE_STORE_H
#define SVCCTL_SERVICE_STORE_H

#include <string>
#include <vector>

#include "platform/posix/trust.h"
#include "platform/posix/unique_fd.h"
#include "machine_dirs.h"
#include "program_launch.h"
#include "status_output.h"

// path made absolute against the current directory.
std::string AbsolutePath(const std::string &path);

class ServiceDir {
public:
    ServiceDir(w32::UniqueFd fd, std::string name, std::string entry)
        : fd_(std::move(fd)), name_(std::move(name)), entry_(std::move(entry))
    {
    }

    const std::string &name() const { return name_; }   // as registered
    const std::string &entry() const { return entry_; } // its directory in services/
    int fd() const { return fd_.get(); }

    std::string Program() const;
    // The account it was registered to run as; empty for none, when it runs
    // as the account that registered it, Owner().
    std::string User() const;
    uid_t Owner() const;
    std::vector<ServiceRecord> History() const;

    // Empties the history for a new run and opens it for appending.
    w32::UniqueFd StartHistory() const;
    // Appends one report to a history StartHistory opened; false when it
    // cannot be written, as on a full disk.
    static bool AppendHistory(int historyFd, const ServiceRecord &record);

    // Takes the service's lock without waiting; empty when another process
    // holds it, that is while the service runs.
    w32::UniqueFd TryLock() const;

    // A path to the control socket that stays short whatever $W32_ROOT is,
    // and resolves through this open directory, never through a name someone
    // could swap in between.
    std::string SocketPath() const;
    // Removes the socket a supervising process left behind; only for the
    // holder of the lock.
    void RemoveSocket() const;

private:
    w32::UniqueFd fd_;
    std::string name_;
    std::string entry_;
};

class ServiceStore {
public:
    // Opens $W32_ROOT/services, for a lookup: a missing root or services
    // folder means nothing is registered, and is left missing. Refuses a
    // symbolic link, a root or folder another account owns, or one others
    // may write to (below).
    static ServiceStore Open();
    // The same, for registering: creates the root and the folder when missing.
    static ServiceStore OpenOrCreate();

    // Finds a service by name, ignoring case as the manager does.
    ServiceDir Find(const std::string &name) const;
    // user: the account it runs as, or empty.
    ServiceDir Create(const std::string &name, const std::string &absoluteProgram,
                      const std::string &user) const;
    // Removes a service that is not running.
    void Remove(const ServiceDir &dir) const;

private:
    explicit ServiceStore(w32::UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
    static ServiceStore OpenAt(const std::string &path);
    bool FindEntry(const std::string &name, std::string &entry) const;

    w32::UniqueFd fd_;
    std::string path_;
};

// Checks that a name can be a service's: 1 to 256 characters, printable,
// no slash or backslash, not starting with a dot.
void CheckServiceName(const std::string &name);

#endif
