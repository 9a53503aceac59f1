// Where services are registered, and the machine root's folders svcctl
// checks and prepares for them (below).
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
#include "program_launch.h"
#include "status_output.h"

using w32::UniqueFd;

// path made absolute against the current directory.
std::string AbsolutePath(const std::string &path);

class ServiceDir {
public:
    ServiceDir(UniqueFd fd, std::string name, std::string entry)
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
    UniqueFd StartHistory() const;
    // Appends one report to a history StartHistory opened; false when it
    // cannot be written, as on a full disk.
    static bool AppendHistory(int historyFd, const ServiceRecord &record);

    // Takes the service's lock without waiting; empty when another process
    // holds it, that is while the service runs.
    UniqueFd TryLock() const;

    // A path to the control socket that stays short whatever $W32_ROOT is,
    // and resolves through this open directory, never through a name someone
    // could swap in between.
    std::string SocketPath() const;
    // Removes the socket a supervising process left behind; only for the
    // holder of the lock.
    void RemoveSocket() const;

private:
    UniqueFd fd_;
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
    explicit ServiceStore(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
    static ServiceStore OpenAt(const std::string &path);
    bool FindEntry(const std::string &name, std::string &entry) const;

    UniqueFd fd_;
    std::string path_;
};

// Checks that a name can be a service's: 1 to 256 characters, printable,
// no slash or backslash, not starting with a dot.
void CheckServiceName(const std::string &name);

// Whom each folder of the machine root may belong to, and why, is in
// docs/security.md ("Who owns what"). svcctl keeps to the layer's rule
// (judge_entry), so what it accepts the service can use, and judges a
// service's program by it too (OpenCheckedProgram). It checks $W32_ROOT and
// services/ at every command, services/X at every command on X, and drive_c/
// at create --user and start; the layer checks the machine root, mailslot/
// and drive_c/ again as it opens a drive path or a slot.

// Refuses, in one line that says whose it is and what to do, a machine root
// that is not a directory, belongs to another account than this one or
// root, or that others may write to. A missing root passes.
void CheckMachineRoot(const std::string &root);

// Refuses, in the same way, the services folder at path, open as fd.
void CheckServicesDir(int fd, const std::string &path);

// For a service that runs as account: makes mailslot/ (root's, 01777) and
// drive_c/ (the account's, 0755) when they are missing, and refuses a
// drive_c that belongs to another account than root and it.
void PrepareServiceDirs(const Account &account);

// For a service that runs as this process's own account: refuses a drive_c
// that belongs to another account than root and it. A missing one is left
// for the service to make.
void CheckOwnDrive();

// Where the service's log and files lie, and where slots are held.
std::string DrivePath();
std::string MailslotPath();

#endif
