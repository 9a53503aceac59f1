// Samba's nmbd on a test host, as an independent NetBIOS node to judge the
// relay by: in the foreground, with a configuration, state and socket
// directory of its own under the test's scratch space, never the machine's.
#ifndef TESTS_NETWORK_NMBD_NODE_H
#define TESTS_NETWORK_NMBD_NODE_H

#include <string>

#include "netns_hosts.h"

// Why nmbd cannot be run here (not installed), or "".
std::string MissingForNmbd();

// For a test's SetUp: where `missing` names what the test lacks, skips it
// saying so, except under CI, where it fails (`ci_must`: what CI must do).
// SetUp then returns on IsSkipped() or HasFatalFailure().
void SkipOrFailFor(const std::string &missing, const char *ci_must);

class NmbdNode {
public:
    // Starts nmbd on `h` as `netbios_name` in the workgroup WORKGROUP, its
    // own files in `dir`, the local master browser it can be; `extra`
    // lines go into its configuration's [global] section ("wins support = yes\n").
    NmbdNode(TestNetwork *net, const Host &h, const std::string &netbios_name,
             const std::string &dir, const std::string &extra = "");
    ~NmbdNode() { Stop(); }

    // All it has logged so far (log level 10: every packet it handles).
    std::string Log() const;
    bool WaitForLog(const std::string &text, double seconds) const;
    // Its browse list as written to browse.dat ("" before it writes one).
    std::string BrowseList() const;
    // Its WINS database as written to wins.dat (at the latest when it stops).
    std::string WinsDatabase() const;
    // Where it keeps its packet socket, "unexpected".
    std::string SocketDir() const { return dir_ + "/nmbd:socket"; }
    // Ends it (SIGTERM; SIGKILL after 5 s) and waits for it.
    void Stop();
    const Spawned &process() const { return process_; }

private:
    std::string dir_;
    Spawned process_;
    bool running_ = false;
};

#endif
