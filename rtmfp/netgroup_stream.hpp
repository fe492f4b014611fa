#pragma once

#include <memory>
#include <string>

#include "rtmfp/netgroups.hpp"
#include "rtmfp/netstream.hpp"

class rtmfp_server_session;

// Stream 0xFFFFFFFF of a server session: the client names the NetGroups it
// joins, by specifier or by group id, and hears back a few members of each
// to connect to (0x0B and the member's peer id, one message each). The
// session leaves every group it joined when the stream closes.
//
// Only a connected session meets others: what the stream hears before the
// connect succeeded is ignored. A malformed specifier throws, which closes
// the session; a join the application refuses, one beyond the session's
// limit, a repeated one and a message of another kind are ignored without
// reply.
class rtmfp_server_netgroup_stream : public rtmfp_netstream {
  public:
    explicit rtmfp_server_netgroup_stream(const std::shared_ptr<rtmfp_server_session>& session);

    void on_data(std::int32_t kind, buffer_reader& message) override;
    void close() override;

    // `group_id`: 32 bytes, the digest of the group's specifier.
    void join_group(const std::string& group_id);

    // The keys the application gave the groups joined.
    const rtmfp_server_netgroups::group_keys& joined_groups() const noexcept {
        return joined_groups_;
    }

  private:
    rtmfp_server_session& server_session() const;

    rtmfp_server_netgroups::group_keys joined_groups_;
};
