#pragma once

// Where the members of NetGroups meet: the text that names a group, and the
// server-wide registry that hands each joiner a few members to connect to.

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

using rtmfp_peer_id = std::array<std::uint8_t, 32>;

// NAT types of a session, as the NetGroup registry and the connectivity
// results know them.
enum rtmfp_nat_type : std::int32_t {
    rtmfp_nat_unknown = 0,
    rtmfp_nat_none = 1,
    rtmfp_nat_cone = 2,
    rtmfp_nat_restricted_cone = 3,
    rtmfp_nat_symmetric = 4,
};

// A group specifier: "G:" and hex digits that decode to options, each a
// VLU length and that many bytes. An empty option separates what names the
// group from what only tunes it.
struct rtmfp_group_specifier {
    // The prefix of the text that names the group: up to the separator, or
    // the whole text without one.
    std::string_view identity;
};

// Throws "Bad group spec format" for a text that is not one (too short, odd
// length, no "G:", a character that is not a hex digit, two separators)
// and buffer_over_range "Buffer eof" for an option that runs past the end.
rtmfp_group_specifier parse_group_specifier(std::string_view text);

// The group id of a specifier: the SHA-256 digest of its identity.
std::string rtmfp_group_id(const rtmfp_group_specifier& specifier);

// The members of every NetGroup of a server, by group key. A joiner learns
// up to five neighbours in peer-id order and, in rotation, up to three
// members without NAT and three behind cone NATs, who are the easiest to
// reach.
//
// Each operation holds the registry's lock for its whole length. A
// session's processing mutex may be held when calling in, never the
// reverse: the registry calls nothing outside itself.
class rtmfp_server_netgroups {
  public:
    using group_keys = std::set<std::string>;

    rtmfp_server_netgroups() = default;
    virtual ~rtmfp_server_netgroups() = default;

    rtmfp_server_netgroups(const rtmfp_server_netgroups&) = delete;
    rtmfp_server_netgroups& operator=(const rtmfp_server_netgroups&) = delete;

    // Adds a session of the peer to the group (made if absent) and returns
    // the members it should connect to, in ascending order. Each session
    // joins a group once.
    std::vector<rtmfp_peer_id> join(const std::string& key, const rtmfp_peer_id& peer,
                                    std::int32_t nat_type);
    // A session of the peer leaves the groups: the peer stays a member of
    // those that another session of it joined. A group left empty goes.
    void leave(const group_keys& keys, const rtmfp_peer_id& peer);
    // A member's NAT type became known after it joined: members without NAT
    // or behind a cone NAT are handed out from then on.
    void update_nat_type(const group_keys& keys, const rtmfp_peer_id& peer, std::int32_t nat_type);
    // The members of the groups together.
    std::int64_t member_count(const group_keys& keys) const;

    std::size_t group_count() const;

  private:
    using member_set = std::set<rtmfp_peer_id>;

    struct group {
        group() : open_cursor(open_members.end()), cone_cursor(cone_members.end()) {}
        group(const group&) = delete;
        group& operator=(const group&) = delete;

        // Each with the number of its sessions in the group.
        std::map<rtmfp_peer_id, int> members;
        member_set open_members;
        member_set cone_members;
        // Where handing out of each set goes on.
        member_set::iterator open_cursor;
        member_set::iterator cone_cursor;
    };

    mutable std::mutex mutex_;
    std::map<std::string, group, std::less<>> groups_;
};
