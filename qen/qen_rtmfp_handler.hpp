#pragma once

#include <boost/asio/ip/udp.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qen/qen_app.hpp"
#include "rtmfp/handlers.hpp"

namespace qen {

class qen_server_context;

// Admits RTMFP clients by the application of their tcUrl, as RTMP clients
// are admitted, within the application's max_concurrents; an admitted
// session gets a qen_rtmfp_connection_handler.
class qen_rtmfp_server_handler : public rtmfp_server_handler {
  public:
    explicit qen_rtmfp_server_handler(qen_server_context& context) : context_(&context) {}

    bool on_connect(const std::shared_ptr<rtmfp_server_session>& session, amf0_object& command,
                    buffer_reader& args) override;
    void on_disconnect(const std::shared_ptr<rtmfp_server_session>& session) override;

  private:
    qen_server_context* context_;
};

// A connected RTMFP session: it holds its application for as long as it
// lives (so that it counts in max_concurrents), and names its NetGroups by
// the host of its tcUrl, so that clients of one domain meet whatever
// application they connected to and clients of different domains never do.
class qen_rtmfp_connection_handler : public rtmfp_connection_handler {
  public:
    explicit qen_rtmfp_connection_handler(qen_connection_context context)
        : context_(std::move(context)) {}

    void on_stream_created(const std::shared_ptr<rtmfp_netstream>& stream) override;
    void on_stream_deleted(const std::shared_ptr<rtmfp_netstream>& stream) override;
    bool resolve_group_name(const std::string& group_id, std::string& group_key) override;
    bool on_call(light_string name, double transaction_id, amf0_based& command_object,
                 buffer_reader& args) override;

    const qen_connection_context& context() const noexcept { return context_; }

  private:
    qen_connection_context context_;
};

// Where the RTMFP server listens: `port` on every address of the machine's
// interfaces that are up (each bound on its own, since a NAT probe names the
// address the client reached).
std::vector<boost::asio::ip::udp::endpoint> rtmfp_listen_endpoints(std::uint16_t port);

}  // namespace qen
