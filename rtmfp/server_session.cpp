#include "rtmfp/server_session.hpp"

#include <algorithm>
#include <utility>

#include "rtmfp/netconnection.hpp"
#include "rtmfp/netgroup_stream.hpp"
#include "rtmfp/server_netstream.hpp"

namespace {

// A probe from the second detection port that gets no answer is sent again
// from the main socket after this; the peer has this long from the first
// probe to answer either.
constexpr std::chrono::milliseconds nat_probe_retry(500);
constexpr std::chrono::milliseconds nat_probe_deadline(2000);

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
        // A new round: whatever probe is pending no longer matters.
        probe_tag_.reset();
        ++probe_number_;
        settle_nat_type(rtmfp_nat_none);
    } else {
        probe_nat(false);
    }
}

void rtmfp_server_session::probe_nat(bool retry) {
    const auto index = static_cast<std::size_t>(socket_index());
    if (is_closed() || index >= server_.detect_nat_endpoints.size() || !server_.timers) {
        return;
    }
    const rtmfp_probe_tag tag = rtmfp_make_probe_tag(session_id());
    const rtmfp_peer_id& own_id = peer_id();
    block_buffer probe =
        begin_packet(std::nullopt, rtmfp_marker_session,
                     rtmfp_cmd_punch_request_notify(
                         {rtmfp_endpoint_discriminator::peer_id, {own_id.data(), own_id.size()}},
                         rtmfp_make_address(server_.detect_nat_endpoints[index], true),
                         {tag.data(), tag.size()}));
    probe_tag_ = tag;
    probe_via_port2_ = false;
    if (retry) {
        send_packet(std::move(probe));
        return;
    }

    // The timers are set before the probe leaves: its answer may come
    // before this returns.
    const std::uint64_t number = ++probe_number_;
    after(nat_probe_deadline, &rtmfp_server_session::on_nat_probe_timeout, number);
    probe_via_port2_ = true;
    after(nat_probe_retry, &rtmfp_server_session::on_nat_probe_retry, number);
    boost::system::error_code error;
    server_.detect_nat_port2_sockets.at(index)->send_to(
        boost::asio::const_buffer(probe.data(), probe.size()), peer_endpoint(), error);
    if (error) {
        // The retry then finds nothing to do.
        probe_via_port2_ = false;
        send_packet(std::move(probe));
    }
}

void rtmfp_server_session::after(std::chrono::milliseconds delay,
                                 void (rtmfp_server_session::*due)(std::uint64_t),
                                 std::uint64_t probe) {
    server_.timers->after(delay, [session = weak_server_session(), due, probe] {
        if (const auto alive = session.lock()) {
            (alive.get()->*due)(probe);
        }
    });
}

void rtmfp_server_session::on_nat_probe_retry(std::uint64_t probe) {
    auto processing = lock_processing();
    if (probe != probe_number_ || !probe_tag_ || !probe_via_port2_ || is_closed()) {
        return;
    }
    try {
        probe_nat(true);
    } catch (const std::exception&) {
        // Out of blocks: the deadline still reports.
    }
}

void rtmfp_server_session::on_nat_probe_timeout(std::uint64_t probe) {
    auto processing = lock_processing();
    if (probe != probe_number_ || !probe_tag_) {
        return;
    }
    probe_tag_.reset();
    probe_via_port2_ = false;
    if (!is_closed()) {
        settle_nat_type(rtmfp_nat_unknown);
    }
}

void rtmfp_server_session::on_nat_probe_reply(const endpoint& from, rtmfp_bytes tag) {
    auto processing = lock_processing();
    if (is_closed() || !probe_tag_ || tag.size() != probe_tag_->size() ||
        !std::equal(tag.begin(), tag.end(), probe_tag_->begin())) {
        return;
    }
    probe_tag_.reset();
    std::int32_t type = rtmfp_nat_symmetric;
    if (from == peer_endpoint()) {
        type = probe_via_port2_ ? rtmfp_nat_cone : rtmfp_nat_restricted_cone;
    }
    probe_via_port2_ = false;
    settle_nat_type(type);
}

void rtmfp_server_session::settle_nat_type(std::int32_t type) {
    set_nat_type(type);
    try {
        report_connectivity();
    } catch (const std::exception& error) {
        // Out of blocks, or of memory for the registry.
        close_on_error(error);
    }
}

void rtmfp_server_session::report_connectivity() {
    // The groups first: a peer that acts on its results is handed to
    // joiners as what they say it is.
    if (const auto groups =
            std::dynamic_pointer_cast<rtmfp_server_netgroup_stream>(netgroup_stream())) {
        if (!groups->joined_groups().empty()) {
            server_.netgroups->update_nat_type(groups->joined_groups(), peer_id(), nat_type());
        }
    }
    if (const auto connection =
            std::dynamic_pointer_cast<rtmfp_server_netconnection>(netconnection())) {
        connection->send_connectivity_results(nat_type(), addresses());
    }
}

std::int64_t rtmfp_server_session::group_session_count() const {
    const auto groups = std::dynamic_pointer_cast<rtmfp_server_netgroup_stream>(netgroup_stream());
    return groups ? server_.netgroups->member_count(groups->joined_groups()) : 0;
}

std::shared_ptr<rtmfp_netstream> rtmfp_server_session::create_stream(std::uint32_t id) {
    if (id == rtmfp_netstream::netconnection_id) {
        return std::make_shared<rtmfp_server_netconnection>(shared_server_session());
    }
    if (id == rtmfp_netstream::netgroup_id) {
        return std::make_shared<rtmfp_server_netgroup_stream>(shared_server_session());
    }
    return std::make_shared<rtmfp_server_netstream>(id, shared_session());
}
