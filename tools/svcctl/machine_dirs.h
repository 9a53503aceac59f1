// The machine root's folders as svcctl sees them: which it trusts, which it
// makes for a service, and where the service's drive and slots lie.
#ifndef SVCCTL_MACHINE_DIRS_H
#define SVCCTL_MACHINE_DIRS_H

#include <string>

#include "program_launch.h"

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
