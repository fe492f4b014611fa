#pragma once

#include <memory>

#include "rtmfp/netstream.hpp"

class rtmfp_server_session;

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

  private:
    rtmfp_server_session& server_session() const;

    void connect(buffer_reader& args, double transaction_id, amf0_based& command_object);
    void create_stream(double transaction_id);
    void set_peer_info(buffer_reader& args);
    void delete_stream(buffer_reader& args);
    void stat(double transaction_id);
};
