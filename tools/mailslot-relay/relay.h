// The relay's event loop: the name service on UDP 137, the datagram service
// on UDP 138 and the local hand-off socket, on one thread that never waits
// on what it receives, until SIGTERM or SIGINT. Beside Samba's nmbd it
// leaves both ports to nmbd and takes datagrams from nmbd's packet socket
// instead (nmbd_route.h), until nmbd stops.
#ifndef MAILSLOT_RELAY_RELAY_H
#define MAILSLOT_RELAY_RELAY_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "counters.h"
#include "datagram_packet.h"
#include "handoff_server.h"
#include "interfaces.h"
#include "name_resolver.h"
#include "name_service.h"
#include "nmbd_route.h"
#include "slot_delivery.h"
#include "udp_port.h"

namespace relay {

class Relay : public NameTransport {
public:
    // `wins`: the WINS server's address, 0 for none (a broadcast node).
    // Beside nmbd the relay only asks the server: nmbd registers its names.
    Relay(const NetbiosName &name, const NetbiosName &group, std::vector<Interface> interfaces,
          std::string root, std::string nmbd_socket_dir, uint32_t wins = 0);

    // Chooses the mode and says which: beside nmbd when nmbd's packet socket
    // in `nmbd_socket_dir` takes the relay, else its own node on both
    // ports. Opens the hand-off socket; false with a one-line reason in
    // `error`.
    bool open(std::string *error);

    // Registers the names and serves until a stop signal (SIGTERM, SIGINT,
    // blocked by the caller, as is SIGUSR1). Returns the exit status: 0 after
    // a stop, 1 when another node holds the name.
    int run();

    void send_name_packet(const Interface &iface, uint32_t to, uint16_t port,
                          const std::vector<uint8_t> &packet) override;

private:
    enum class Signal { None, Stop, Report };
    enum class Mode { OwnNode, BesideNmbd, Seeking };

    Signal take_signal();
    void on_name_packets();
    void on_datagrams();
    void on_datagram_bytes(const uint8_t *data, size_t size);
    void on_datagram(const MailslotDatagram &datagram);
    void on_handoff(const HandoffRequest &request, const HandoffServer::Reply &reply);
    void send_unique(const NetbiosName &to, const HandoffRequest &request,
                     const HandoffServer::Reply &reply);
    void send_group(const NetbiosName &group, const HandoffRequest &request,
                    const HandoffServer::Reply &reply);
    bool send_datagram(const Interface &iface, uint32_t to, uint8_t type,
                       const NetbiosName &destination, const HandoffRequest &request);
    const Interface *interface_by_index(int index) const;
    bool from_self(uint32_t address) const;
    bool from_this_host(uint32_t address);
    bool addressed_to_us(const MailslotDatagram &datagram) const;
    bool ours_unique(const NetbiosName &name) const;
    void report_registered() const;
    Millis next_deadline() const;
    static Millis now();

    // The modes (relay_modes.cpp).
    bool open_own_node(std::string *error);
    bool try_beside_nmbd(std::string *error);
    void use_names(const NetbiosName &name, const NetbiosName &group);
    void start_names(); // registers them, with the WINS server too when there is one
    void on_nmbd_frames();
    void seek_charge();
    Millis seek_deadline() const { return mode_ == Mode::Seeking ? next_seek_ : -1; }

    const NetbiosName own_name_;  // as configured: the names of its own node
    const NetbiosName own_group_;
    NetbiosName name_;            // the names it serves now (nmbd's beside nmbd)
    NetbiosName group_;
    const std::vector<Interface> interfaces_;
    const std::string root_;

    Counters counters_;
    UdpPort name_port_;
    UdpPort datagram_port_;
    HandoffServer handoff_;
    SlotDelivery delivery_{&counters_};
    std::unique_ptr<NameService> names_;
    // The name stack, built anew with the names it serves (use_names).
    const uint32_t wins_server_; // 0: none
    std::unique_ptr<WinsClient> wins_;
    std::unique_ptr<SystemResolver> system_resolver_; // with a WINS server only
    std::unique_ptr<NameResolver> resolver_;
    w32::UniqueFd signals_;
    uint16_t datagram_id_;
    int name_send_errno_ = 0; // the last failure to send a name packet, once logged
    std::vector<uint8_t> buffer_;

    const std::string nmbd_dir_;
    Mode mode_ = Mode::OwnNode;
    NmbdRoute nmbd_;
    NmbdNames nmbd_names_;
    RepeatFilter repeats_;
    std::vector<uint32_t> host_addresses_; // every address of this host, listed again each second
    Millis host_addresses_at_ = -1;
    Millis next_seek_ = -1;
    std::string seek_reason_; // why it could not take charge, said once
};

} // namespace relay

#endif
