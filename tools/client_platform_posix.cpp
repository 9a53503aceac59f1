// Linux: the layer names the account holding the server slot and the
// account of every reply's sender. The account the service runs as is the
// owner of drive C:, which the service manager gives it, or of the log the
// service wrote there; neither needs any privilege to look up.
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "client_platform.h"
#include "platform/posix/machine_root.h"
#include "platform/posix/mailslot_extensions.h"

namespace {

const char kServerSlot[] = "\\\\.\\mailslot\\$Channel1$";
const char kServiceLog[] = "ZQ_logfile.log";

std::string AccountName(uid_t uid)
{
    struct passwd *pw = getpwuid(uid);
    return pw ? std::string(pw->pw_name) : "uid " + std::to_string(uid);
}

// The accounts the service may run as: drive C:'s owner, and the owner of
// the log in it while only that owner may write to the drive.
std::vector<uid_t> ServiceAccounts()
{
    std::vector<uid_t> accounts;
    const std::string drive = w32::machine_root_path() + "/" + w32::kDriveDirPrefix + "c";
    struct stat st;
    if (lstat(drive.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return accounts;
    accounts.push_back(st.st_uid);
    if ((st.st_mode & 022) != 0)
        return accounts;
    struct stat log;
    if (lstat((drive + "/" + kServiceLog).c_str(), &log) == 0 && S_ISREG(log.st_mode))
        accounts.push_back(log.st_uid);
    return accounts;
}

bool IsThisMachine(const char *server)
{
    char host[MAX_COMPUTERNAME_LENGTH + 1] = "";
    DWORD cbHost = sizeof host;
    return strcmp(server, ".") == 0 ||
           (GetComputerNameA(host, &cbHost) && strcasecmp(server, host) == 0);
}

} // namespace

bool MachineIsReady(void)
{
    const std::string root = w32::machine_root_path();
    struct stat st;
    if (stat(root.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return true;
    fprintf(stderr, "mailslot-client: the machine root %s (W32_ROOT) does not exist: no service "
                    "runs on it\n", root.c_str());
    return false;
}

bool TrustServer(const char *server, HANDLE hReply)
{
    if (!IsThisMachine(server))
        return true; // replies come through the relay: the layer cannot tell more
    uid_t holder = 0;
    DWORD err = w32::mailslot_holder_account(kServerSlot, &holder);
    if (err == ERROR_FILE_NOT_FOUND)
        return true; // nobody holds it: sending says so
    if (err == ERROR_SEM_TIMEOUT) {
        fprintf(stderr, "mailslot-client: %s had no room even to say who holds it: the service "
                        "is busy or stopped; try again\n", kServerSlot);
        return false;
    }
    if (err != NO_ERROR) {
        fprintf(stderr, "mailslot-client: cannot learn who holds %s (error %lu)\n", kServerSlot,
                (unsigned long)err);
        return false;
    }
    std::vector<uid_t> service = ServiceAccounts();
    bool trusted = holder == 0;
    for (uid_t account : service)
        trusted = trusted || holder == account;
    if (!trusted) {
        std::string runsAs = service.empty() ? "no account" : AccountName(service[0]);
        fprintf(stderr, "mailslot-client: %s is held by %s, which is neither root nor the account "
                        "the service runs as (%s): not sending it a path\n",
                kServerSlot, AccountName(holder).c_str(), runsAs.c_str());
        return false;
    }
    err = w32::mailslot_accept_only(hReply, {holder, 0});
    if (err != NO_ERROR) {
        fprintf(stderr, "mailslot-client: cannot limit the reply slot to the service (error %lu)\n",
                (unsigned long)err);
        return false;
    }
    return true;
}

void LimitSlotWaits(DWORD ms)
{
    w32::mailslot_limit_waits(ms);
}
