// The folders of the machine root and whom each may belong to. The layer
// trusts a directory that belongs to the process's own account or to root
// and that no other account may write to, mailslot/ excepted; svcctl keeps
// to the same rule, so what it accepts the service can use:
//
//   folder      owner                                  mode   checked
//   $W32_ROOT   root, or the one account that uses it  0755   every svcctl command; the layer at each
//                                                             drive or slot it opens (open_machine_dir)
//   services/   the account that registers services    0755   every svcctl command (service_store)
//   services/X  the account that registered X          0700   every command on X (service_store)
//   mailslot/   root, or the root's owner               01777  the layer (open_mailslot_dir); made here
//                                                             for a service with an account of its own
//   drive_c/    the account the service runs as, or    0755   create --user and start, here; the layer at
//               root                                          each drive path (resolve_drive_path)
//
// The log and every other file the service makes belong to its account and
// lie in its drive_c, where no other account may add, remove or replace an
// entry; a service with an account of its own makes them with umask 027.
#ifndef SVCCTL_MACHINE_DIRS_H
#define SVCCTL_MACHINE_DIRS_H

#include <string>

#include "service_account.h"

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
