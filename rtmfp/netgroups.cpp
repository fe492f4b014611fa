#include "rtmfp/netgroups.hpp"

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include "foundation/buffer.hpp"
#include "foundation/crypto.hpp"
#include "foundation/hex.hpp"
#include "rtmfp/packet.hpp"

namespace {

constexpr std::string_view specifier_prefix = "G:";
// "G:" and at least three bytes of options.
constexpr std::size_t min_specifier_length = 8;

constexpr std::size_t max_neighbours_before = 3;
constexpr std::size_t max_neighbour_walk = 6;
// Below this many members every other member is a neighbour.
constexpr std::size_t neighbourhood = 5;
constexpr int handed_out_per_set = 3;

[[noreturn]] void throw_bad_specifier() {
    throw std::runtime_error("Bad group spec format");
}

int hex_digit(char c) {
    const int value = hex_digit_value(c);
    if (value < 0) {
        throw_bad_specifier();
    }
    return value;
}

std::vector<std::uint8_t> decode_hex(std::string_view digits) {
    std::vector<std::uint8_t> decoded;
    decoded.reserve(digits.size() / 2);
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        decoded.push_back(
            static_cast<std::uint8_t>(hex_digit(digits[i]) * 16 + hex_digit(digits[i + 1])));
    }
    return decoded;
}

// Skips an option's type and value (`length` bytes) after checking that
// they are there.
void skip_option(buffer_reader& in, std::uint32_t length) {
    if (length == 1) {
        in.read_u8();
        return;
    }
    const std::uint32_t type = rtmfp_read_vlu(in);
    const std::uint32_t type_size = rtmfp_vlu_size(type);
    // A type that takes the whole option (or more) leaves no value to walk.
    const std::uint32_t value_size = length > type_size ? length - type_size : 0;
    if (value_size > in.remaining()) {
        throw buffer_over_range("Buffer eof");
    }
    in.pos += value_size;
}

// Moves `cursor` through `set` in rotation and adds up to three entries.
void hand_out(const std::set<rtmfp_peer_id>& set, std::set<rtmfp_peer_id>::iterator& cursor,
              std::set<rtmfp_peer_id>& result) {
    for (int i = 0; i < handed_out_per_set; ++i) {
        if (cursor == set.end()) {
            cursor = set.begin();
        }
        if (set.empty()) {
            return;
        }
        result.insert(*cursor);
        ++cursor;
    }
}

// Erases `peer` from `set`, moving a cursor that stands on it to the next.
void erase_member(std::set<rtmfp_peer_id>& set, std::set<rtmfp_peer_id>::iterator& cursor,
                  const rtmfp_peer_id& peer) {
    const auto found = set.find(peer);
    if (found == set.end()) {
        return;
    }
    if (cursor == found) {
        ++cursor;
    }
    set.erase(found);
}

}  // namespace

rtmfp_group_specifier parse_group_specifier(std::string_view text) {
    if (text.size() < min_specifier_length || text.size() % 2 != 0 ||
        !text.starts_with(specifier_prefix)) {
        throw_bad_specifier();
    }
    const std::vector<std::uint8_t> options = decode_hex(text.substr(specifier_prefix.size()));
    buffer_reader in(options.data(), static_cast<std::uint32_t>(options.size()));
    rtmfp_group_specifier specifier{text};
    bool separated = false;
    while (in.remaining() != 0) {
        const std::uint32_t length = rtmfp_read_vlu(in);
        if (length != 0) {
            skip_option(in, length);
            continue;
        }
        if (separated) {
            throw_bad_specifier();
        }
        separated = true;
        // "G:" and the digits of the bytes before the separator.
        specifier.identity = text.substr(0, 2 * std::size_t{in.pos});
    }
    return specifier;
}

std::string rtmfp_group_id(const rtmfp_group_specifier& specifier) {
    const sha256_digest digest =
        sha256({byte_view(reinterpret_cast<const std::uint8_t*>(specifier.identity.data()),
                          specifier.identity.size())});
    return std::string(digest.begin(), digest.end());
}

std::vector<rtmfp_peer_id> rtmfp_server_netgroups::join(const std::string& key,
                                                        const rtmfp_peer_id& peer,
                                                        std::int32_t nat_type) {
    std::lock_guard lock(mutex_);
    group& joined = groups_.try_emplace(key).first->second;
    // One peer id may be joined by several sessions (a client that came
    // back with its key pair): each holds its own share.
    const auto position = joined.members.try_emplace(peer, 0).first;
    ++position->second;
    if (joined.members.size() == 1) {
        joined.open_cursor = joined.open_members.begin();
        joined.cone_cursor = joined.cone_members.begin();
    }

    std::set<rtmfp_peer_id> result;
    if (joined.members.size() > neighbourhood) {
        auto first = position;
        for (std::size_t i = 0; i < max_neighbours_before && first != joined.members.begin(); ++i) {
            --first;
        }
        auto member = first;
        for (std::size_t i = 0; i < max_neighbour_walk && member != joined.members.end();
             ++i, ++member) {
            if (member != position) {
                result.insert(member->first);
            }
        }
    } else {
        for (const auto& [member, sessions] : joined.members) {
            if (member != peer) {
                result.insert(member);
            }
        }
    }
    hand_out(joined.open_members, joined.open_cursor, result);
    hand_out(joined.cone_members, joined.cone_cursor, result);

    if (nat_type == rtmfp_nat_none) {
        joined.open_members.insert(peer);
    } else if (nat_type == rtmfp_nat_cone) {
        joined.cone_members.insert(peer);
    }
    return {result.begin(), result.end()};
}

void rtmfp_server_netgroups::leave(const group_keys& keys, const rtmfp_peer_id& peer) {
    std::lock_guard lock(mutex_);
    for (const std::string& key : keys) {
        const auto found = groups_.find(key);
        if (found == groups_.end()) {
            continue;
        }
        group& left = found->second;
        const auto member = left.members.find(peer);
        if (member == left.members.end() || --member->second > 0) {
            // Another session of the peer is still in the group.
            continue;
        }
        left.members.erase(member);
        erase_member(left.cone_members, left.cone_cursor, peer);
        erase_member(left.open_members, left.open_cursor, peer);
        if (left.members.empty()) {
            groups_.erase(found);
        }
    }
}

void rtmfp_server_netgroups::update_nat_type(const group_keys& keys, const rtmfp_peer_id& peer,
                                             std::int32_t nat_type) {
    if (nat_type != rtmfp_nat_none && nat_type != rtmfp_nat_cone) {
        return;
    }
    std::lock_guard lock(mutex_);
    for (const std::string& key : keys) {
        const auto found = groups_.find(key);
        if (found == groups_.end() || found->second.members.count(peer) == 0) {
            continue;
        }
        group& member_of = found->second;
        (nat_type == rtmfp_nat_none ? member_of.open_members : member_of.cone_members).insert(peer);
    }
}

std::int64_t rtmfp_server_netgroups::member_count(const group_keys& keys) const {
    std::lock_guard lock(mutex_);
    std::int64_t count = 0;
    for (const std::string& key : keys) {
        if (const auto found = groups_.find(key); found != groups_.end()) {
            count += static_cast<std::int64_t>(found->second.members.size());
        }
    }
    return count;
}

std::size_t rtmfp_server_netgroups::group_count() const {
    std::lock_guard lock(mutex_);
    return groups_.size();
}
