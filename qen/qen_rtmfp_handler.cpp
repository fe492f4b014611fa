#include "qen/qen_rtmfp_handler.hpp"

#include "platform/network_addresses.hpp"
#include "qen/client_admission.hpp"
#include "qen/qen_server.hpp"
#include "qen/stream_policy.hpp"
#include "rtmfp/server_session.hpp"

namespace qen {

bool qen_rtmfp_server_handler::on_connect(const std::shared_ptr<rtmfp_server_session>& session,
                                          amf0_object& command, buffer_reader&) {
    qen_connection_context context;
    if (admit_client(context_->apps(), command, context) || exceeds_max_concurrents(*context.app)) {
        return false;
    }
    session->add_connection_handler(
        0, std::make_unique<qen_rtmfp_connection_handler>(std::move(context)));
    return true;
}

void qen_rtmfp_server_handler::on_disconnect(const std::shared_ptr<rtmfp_server_session>&) {}

void qen_rtmfp_connection_handler::on_stream_created(const std::shared_ptr<rtmfp_netstream>&) {}

void qen_rtmfp_connection_handler::on_stream_deleted(const std::shared_ptr<rtmfp_netstream>&) {}

bool qen_rtmfp_connection_handler::resolve_group_name(const std::string& group_id,
                                                      std::string& group_key) {
    // The host is lower case already (the application lookup made it so).
    group_key = context_.host + "/" + group_id;
    return true;
}

bool qen_rtmfp_connection_handler::on_call(light_string, double, amf0_based&, buffer_reader&) {
    return true;
}

std::vector<boost::asio::ip::udp::endpoint> rtmfp_listen_endpoints(std::uint16_t port) {
    std::vector<boost::asio::ip::udp::endpoint> endpoints;
    for (const boost::asio::ip::address& address : platform::interface_addresses()) {
        endpoints.emplace_back(address, port);
    }
    return endpoints;
}

}  // namespace qen
