// The supervising process's state, shared by its loop and its client handling.
#ifndef SVCCTL_SUPERVISOR_STATE_H
#define SVCCTL_SUPERVISOR_STATE_H

#include <signal.h>

#include <cstdint>
#include <deque>
#include <map>
#include <string>

#include "platform/posix/layer_shared.h"
#include "control_wire.h"
#include "program_launch.h"
#include "progress_clock.h"
#include "service_record.h"
#include "supervisor.h"

class Supervisor {
public:
    explicit Supervisor(SupervisorSetup setup);
    int Run();

private:
    struct Client {
        UniqueFd fd;
        std::string request;
        bool watching = false;
        bool awaitingControl = false;
    };
    static constexpr uint64_t kOwnControl = 0; // a stop the supervisor itself sent

    // Program side (supervisor.cpp).
    void Launch();
    void ReadChannel();
    void OnMessage(const ChannelMessage &m);
    void Record(const ServiceRecord &record);
    void RecordAbnormalStop(uint32_t win32ExitCode);
    bool SendControl(uint32_t code);
    void MaybeSendStop();
    void OnSignal();
    void CheckTimers();
    void Finish();
    long Pid() const { return exited_ ? 0 : program_.pid; }

    // Client side (supervisor_clients.cpp).
    void AcceptClients();
    void ReadClient(uint64_t id);
    void HandleRequest(uint64_t id, const std::string &request);
    void AnswerControl(uint64_t id, uint32_t result);
    void AnswerPendingControls();
    void Broadcast(const std::string &line);
    bool SendTo(Client &client, const std::string &line);
    void Drop(uint64_t id);

    SupervisorSetup setup_;
    sigset_t originalMask_;
    UniqueFd signals_;
    LaunchedProgram program_;
    bool channelOpen_ = false;

    ServiceRecord current_;
    bool reported_ = false;
    bool reachedRunning_ = false;
    bool stopped_ = false;
    bool stoppedByService_ = false;
    bool exited_ = false;
    bool killed_ = false;
    uint32_t killReason_ = 0;
    bool stopWanted_ = false;
    bool stopSent_ = false;
    Clock::time_point connectDeadline_;
    Clock::time_point exitDeadline_;

    ProgressClock startClock_; // svcctl run only: to say when a start stalls
    bool stallReported_ = false;

    std::map<uint64_t, Client> clients_;
    uint64_t nextClientId_ = 1;
    std::deque<uint64_t> awaitingAck_;
};

#endif
