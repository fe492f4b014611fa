#pragma once

#include <memory>
#include <vector>

#include "rtmfp/netstream.hpp"
#include "rtmfp/session.hpp"

class rtmfp_server_session;

// What the server's streams write: a command message's header (0x14, four
// zero bytes, the name, the transaction id and a null command object), and
// a status object (the description left out when empty).
void rtmfp_write_command_header(buffer_writer& out, light_string name, double transaction_id);
void rtmfp_write_status(buffer_writer& out, light_string level, light_string code,
                        light_string description);

// Stream 0 of a server session: answers connect, createStream,
// setPeerInfo, deleteStream and stat, and hands every other call to the
// application's connection handlers without a reply of its own.
//
// A call out of turn (connect twice, createStream or setPeerInfo before
// connect), a refused connect and malformed arguments throw, which closes
// the session.
class rtmfp_server_netconnection : public rtmfp_netstream {
  public:
    explicit rtmfp_server_netconnection(const std::shared_ptr<rtmfp_server_session>& session);

    void on_command(buffer_reader& args, light_string name, double transaction_id,
                    amf0_based& command_object) override;

    // "NetConnection.ConnectivityCheck.Results": where the peer's datagrams
    // come from, the addresses it announced and what its NAT type allows.
    // `addresses` as the session keeps them, the public one first.
    void send_connectivity_results(std::int32_t nat_type,
                                   const std::vector<rtmfp_session::endpoint>& addresses);

  private:
    rtmfp_server_session& server_session() const;

    void connect(buffer_reader& args, double transaction_id, amf0_based& command_object);
    void create_stream(double transaction_id);
    void set_peer_info(buffer_reader& args);
    void delete_stream(buffer_reader& args);
    void stat(double transaction_id);
};
