#include "rtmfp/server_session.hpp"

#include <algorithm>
#include <utility>

#include "rtmfp/netconnection.hpp"

namespace {

// The nat_type of a peer that announced the address its datagrams come from.
constexpr std::int32_t no_nat = 1;

}  // namespace

rtmfp_server_session::rtmfp_server_session(block_malloc& pool, std::shared_ptr<rtmfp_socket> socket,
                                           std::int32_t socket_index,
                                           const rtmfp_session_setup& setup,
                                           const rtmfp_server_state& server)
    : rtmfp_session(pool, std::move(socket), socket_index, setup), server_(server) {}

rtmfp_server_session::~rtmfp_server_session() = default;

void rtmfp_server_session::close_locked() {
    if (const close_hook hook = std::exchange(on_close_, nullptr)) {
        try {
            hook(shared_server_session());
        } catch (const std::exception&) {
            // The session ends whatever the handlers make of it.
        }
    }
    rtmfp_session::close_locked();
}

void rtmfp_server_session::add_connection_handler(
    std::int32_t key, std::unique_ptr<rtmfp_connection_handler> handler) {
    if (handler) {
        connection_handlers_.add(key, std::move(handler));
    }
}

bool rtmfp_server_session::run_connect(amf0_object& command, buffer_reader& args) {
    return !on_connect_ || on_connect_(shared_server_session(), command, args);
}

void rtmfp_server_session::run_stream_created(const std::shared_ptr<rtmfp_netstream>& stream) {
    connection_handlers_.run_all(
        [&](rtmfp_connection_handler& handler) { handler.on_stream_created(stream); });
}

void rtmfp_server_session::run_stream_deleted(const std::shared_ptr<rtmfp_netstream>& stream) {
    connection_handlers_.run_all(
        [&](rtmfp_connection_handler& handler) { handler.on_stream_deleted(stream); });
}

bool rtmfp_server_session::resolve_group_name(const std::string& group_id, std::string& group_key) {
    group_key = group_id;
    return connection_handlers_.run_until_refused([&](rtmfp_connection_handler& handler) {
        return handler.resolve_group_name(group_id, group_key);
    });
}

void rtmfp_server_session::run_call(light_string name, double transaction_id,
                                    amf0_based& command_object, buffer_reader& args) {
    connection_handlers_.run_until_refused([&](rtmfp_connection_handler& handler) {
        return handler.on_call(name, transaction_id, command_object, args);
    });
}

void rtmfp_server_session::set_peer_info(const std::vector<endpoint>& announced) {
    const endpoint source = peer_endpoint();
    set_addresses(announced);
    if (std::find(announced.begin(), announced.end(), source) != announced.end()) {
        set_nat_type(no_nat);
    }
}

std::int64_t rtmfp_server_session::group_session_count() const noexcept {
    // This server keeps no NetGroups: a session is a member of none.
    return 0;
}

std::shared_ptr<rtmfp_netstream> rtmfp_server_session::create_stream(std::uint32_t id) {
    if (id == rtmfp_netstream::netconnection_id) {
        return std::make_shared<rtmfp_server_netconnection>(shared_server_session());
    }
    return std::make_shared<rtmfp_netstream>(id, shared_session());
}
