#include "rtmfp/netgroup_stream.hpp"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "rtmfp/flows.hpp"
#include "rtmfp/packet.hpp"
#include "rtmfp/server_session.hpp"

namespace {

constexpr std::int32_t data_kind = 1;
// What a join names the group by: a specifier's text, or the id itself.
constexpr std::uint8_t by_specifier = 0x10;
constexpr std::uint8_t by_group_id = 0x15;
constexpr std::size_t group_id_size = 32;
// A member to connect to: the type byte and its peer id.
constexpr std::uint8_t member_message = 0x0B;

}  // namespace

rtmfp_server_netgroup_stream::rtmfp_server_netgroup_stream(
    const std::shared_ptr<rtmfp_server_session>& session)
    : rtmfp_netstream(netgroup_id, session) {}

rtmfp_server_session& rtmfp_server_netgroup_stream::server_session() const {
    if (!session()) {
        throw std::logic_error("The NetGroup stream is closed");
    }
    return static_cast<rtmfp_server_session&>(*session());
}

void rtmfp_server_netgroup_stream::on_data(std::int32_t kind, buffer_reader& message) {
    // Only an admitted connection has the application's say on the group
    // key (and so its domain); a session that never connected has none.
    if (kind != data_kind || server_session().state() != rtmfp_session::state_type::connected) {
        return;
    }
    const rtmfp_bytes join = rtmfp_read_vlu_bytes(message);
    if (join.size() < 2) {
        return;
    }
    const std::string_view named(reinterpret_cast<const char*>(join.data()) + 1, join.size() - 1);
    if (join[0] == by_specifier) {
        join_group(rtmfp_group_id(parse_group_specifier(named)));
    } else if (join[0] == by_group_id && named.size() == group_id_size) {
        // Any other length is no digest, and would only fill the registry.
        join_group(std::string(named));
    }
}

void rtmfp_server_netgroup_stream::join_group(const std::string& group_id) {
    rtmfp_server_session& session = server_session();
    const std::int32_t limit = session.server_state().limits.max_groups_per_session;
    if (joined_groups_.size() >= static_cast<std::size_t>(std::max(limit, 0))) {
        return;
    }
    std::string key = group_id;
    if (!session.resolve_group_name(group_id, key)) {
        return;
    }
    if (!joined_groups_.insert(key).second) {
        return;
    }
    const std::vector<rtmfp_peer_id> members =
        session.server_state().netgroups->join(key, session.peer_id(), session.nat_type());
    for (const rtmfp_peer_id& member : members) {
        rtmfp_out_flow_writer* out = begin_message();
        if (out == nullptr) {
            return;
        }
        out->write_u8(member_message);
        out->write_bytes(member.data(), static_cast<std::uint32_t>(member.size()));
        out->flush();
    }
}

void rtmfp_server_netgroup_stream::close() {
    if (!joined_groups_.empty() && session()) {
        rtmfp_server_session& session = server_session();
        session.server_state().netgroups->leave(joined_groups_, session.peer_id());
        joined_groups_.clear();
    }
    rtmfp_netstream::close();
}
