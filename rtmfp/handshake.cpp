#include "rtmfp/handshake.hpp"

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <utility>

#include "rtmfp/server_session.hpp"

namespace {

constexpr std::array<std::uint8_t, 4> certificate_head = {0x01, 0x0A, 0x41, 0x0E};
constexpr std::array<std::uint8_t, 9> certificate_tail = {0x02, 0x15, 0x02, 0x02, 0x15,
                                                          0x05, 0x02, 0x15, 0x0E};
constexpr std::size_t certificate_random_bytes = 64;
static_assert(certificate_head.size() + certificate_random_bytes + certificate_tail.size() ==
              rtmfp_certificate_size);

// A draw gives a zero first byte one time in 256; this many in a row means
// the generator is broken.
constexpr int max_draws = 64;

// What a map node costs beside its value.
constexpr std::size_t map_node_overhead = 48;

template <std::size_t N>
std::array<std::uint8_t, N> fixed_bytes(rtmfp_bytes bytes) {
    std::array<std::uint8_t, N> out{};
    std::copy_n(bytes.begin(), std::min(bytes.size(), N), out.begin());
    return out;
}

rtmfp_key first_16(const sha256_digest& digest) {
    return fixed_bytes<16>(digest);
}

}  // namespace

rtmfp_certificate rtmfp_make_server_certificate() {
    rtmfp_certificate certificate{};
    auto out = std::copy(certificate_head.begin(), certificate_head.end(), certificate.begin());
    random_bytes(&*out, certificate_random_bytes);
    std::copy(certificate_tail.begin(), certificate_tail.end(), out + certificate_random_bytes);
    return certificate;
}

rtmfp_session_keys rtmfp_derive_keys(byte_view secret, byte_view server_nonce,
                                     byte_view initiator_nonce) {
    const sha256_digest from_initiator = hmac_sha256(server_nonce, {initiator_nonce});
    const sha256_digest to_initiator = hmac_sha256(initiator_nonce, {server_nonce});
    rtmfp_session_keys keys;
    keys.decrypt = first_16(hmac_sha256(secret, {from_initiator}));
    keys.encrypt = first_16(hmac_sha256(secret, {to_initiator}));
    return keys;
}

rtmfp_key_agreement rtmfp_agree(rtmfp_bytes client_public_key, const rtmfp_key_source& draw) {
    if (client_public_key.empty() || client_public_key.size() > dh1024_key_pair::key_size) {
        throw std::runtime_error("DH_compute_key failed");
    }
    for (int i = 0; i < max_draws; ++i) {
        const dh1024_key_pair pair = draw();
        if (pair.public_key().front() == 0) {
            continue;
        }
        rtmfp_key_agreement agreed{pair.public_key(), pair.shared_secret(client_public_key)};
        if (agreed.secret.front() != 0) {
            return agreed;
        }
    }
    throw std::runtime_error("DH_generate_key failed");
}

bool rtmfp_pending_budget::reserve(std::size_t bytes, std::size_t held) {
    std::lock_guard lock(mutex_);
    if (count_ >= limits_.max_count || bytes > limits_.max_bytes - bytes_) {
        return false;
    }
    const bool busy = count_ > limits_.max_count / 2 || bytes_ > limits_.max_bytes / 2;
    if (busy && held >= limits_.max_per_address_when_busy) {
        return false;
    }
    ++count_;
    bytes_ += bytes;
    return true;
}

void rtmfp_pending_budget::release(std::size_t bytes) noexcept {
    std::lock_guard lock(mutex_);
    count_ -= std::min<std::size_t>(count_, 1);
    bytes_ -= std::min(bytes_, bytes);
}

std::size_t rtmfp_pending_budget::count() const {
    std::lock_guard lock(mutex_);
    return count_;
}

rtmfp_server_handshake::rtmfp_server_handshake(
    block_malloc& pool, std::shared_ptr<rtmfp_socket> socket, std::int32_t socket_index,
    rtmfp_handshake_host& host, const rtmfp_certificate& certificate, rtmfp_pending_budget& budget,
    rtmfp_key_source key_source)
    : rtmfp_pipe(pool, std::move(socket), socket_index, 0, 0, rtmfp_default_key, rtmfp_default_key),
      host_(host),
      certificate_(certificate),
      budget_(budget),
      key_source_(std::move(key_source)) {}

rtmfp_server_handshake::~rtmfp_server_handshake() {
    std::lock_guard lock(tables_mutex_);
    for (auto& [address, table] : tables_) {
        forget_all(table);
    }
}

bool rtmfp_server_handshake::receive(block_buffer& datagram, const endpoint& from) {
    // One answer per datagram: a forged one full of first contacts must not
    // earn a reply for each.
    decode_packet(std::move(datagram), from, 1);
    return true;
}

void rtmfp_server_handshake::handle_command(rtmfp_command& command, const endpoint& from) {
    switch (command.type) {
        case rtmfp_handshake_req::chunk_type: {
            const auto& request = static_cast<const rtmfp_handshake_req&>(command);
            switch (request.discriminator.type) {
                case rtmfp_endpoint_discriminator::url:
                    on_first_contact(request, from);
                    break;
                case rtmfp_endpoint_discriminator::peer_id:
                    introduce(request, from);
                    break;
                default:
                    throw std::runtime_error("Unknown handshake type");
            }
            break;
        }
        case rtmfp_handshake_exchg_key_req::chunk_type:
            on_key_exchange(static_cast<const rtmfp_handshake_exchg_key_req&>(command), from);
            break;
        default:
            throw std::runtime_error("Unknown command type");
    }
}

void rtmfp_server_handshake::on_first_contact(const rtmfp_handshake_req& request,
                                              const endpoint& from) {
    if (!host_.admit(from.address())) {
        return;
    }
    cookie_type cookie;
    random_bytes(cookie.data(), cookie.size());
    const tag_type tag = fixed_bytes<rtmfp_tag_size>(request.tag);
    {
        std::lock_guard lock(tables_mutex_);
        const auto [entry, added] = tables_.try_emplace(from.address());
        address_table& table = entry->second;
        if (const auto known = table.by_tag.find(tag); known != table.by_tag.end()) {
            // The client asks again: the same cookie.
            cookie = known->second;
        } else {
            if (table.by_tag.size() > max_tags_per_address) {
                forget_all(table);
            }
            const std::size_t cost = sizeof(*table.by_cookie.begin()) +
                                     sizeof(*table.by_tag.begin()) + 2 * map_node_overhead +
                                     request.discriminator.value.size();
            if (!budget_.reserve(cost, table.unanswered)) {
                if (table.by_cookie.empty()) {
                    tables_.erase(entry);
                }
                return;
            }
            pending_handshake& pending = table.by_cookie[cookie];
            pending.tag = tag;
            pending.url.assign(request.discriminator.value.begin(),
                               request.discriminator.value.end());
            pending.cost = cost;
            table.by_tag.emplace(tag, cookie);
            ++table.unanswered;
        }
    }
    reply(0, rtmfp_handshake_rep(request.tag, cookie, certificate_), from);
}

void rtmfp_server_handshake::on_key_exchange(const rtmfp_handshake_exchg_key_req& request,
                                             const endpoint& from) {
    std::optional<answer> stored;
    {
        std::lock_guard lock(tables_mutex_);
        if (tables_.find(from.address()) == tables_.end()) {
            throw std::runtime_error("No handshake session found: address not found");
        }
        pending_handshake* pending = find_pending(from.address(), request.cookie);
        if (pending == nullptr) {
            throw std::runtime_error("No handshake session found: cookie not found");
        }
        if (pending->session_id != 0) {
            stored = answer{pending->session_id, pending->server_public_key};
        } else if (pending->claimed) {
            // Another thread makes the session; the client repeats and
            // gets the stored answer.
            return;
        } else {
            pending->claimed = true;
        }
    }
    if (!stored) {
        if (!host_.admit_key_exchange(from.address())) {
            // Beyond the rates: no work now, and the client repeats.
            release_claim(from.address(), request.cookie);
            return;
        }
        try {
            stored = open_session(request, from);
        } catch (...) {
            release_claim(from.address(), request.cookie);
            throw;
        }
        if (!stored) {
            release_claim(from.address(), request.cookie);
            return;
        }
    }
    answer_key_exchange(request.initiator_session_id, *stored, from);
}

std::optional<rtmfp_server_handshake::answer> rtmfp_server_handshake::open_session(
    const rtmfp_handshake_exchg_key_req& request, const endpoint& from) {
    const rtmfp_key_agreement agreed = rtmfp_agree(request.public_key, key_source_);
    std::array<std::uint8_t, rtmfp_server_nonce_prefix.size() + dh1024_key_pair::key_size>
        server_nonce{};
    std::copy(agreed.server_public_key.begin(), agreed.server_public_key.end(),
              std::copy(rtmfp_server_nonce_prefix.begin(), rtmfp_server_nonce_prefix.end(),
                        server_nonce.begin()));
    const rtmfp_session_keys keys =
        rtmfp_derive_keys(agreed.secret, server_nonce, request.initiator_nonce);

    rtmfp_session_setup setup;
    setup.far_session_id = request.initiator_session_id;
    setup.encrypt_key = keys.encrypt;
    setup.decrypt_key = keys.decrypt;
    setup.peer_id = sha256({request.certificate});
    setup.peer = from;
    const std::shared_ptr<rtmfp_server_session> session =
        host_.create_session(socket_index(), setup);
    if (!session) {
        return std::nullopt;
    }
    const answer made{session->session_id(), agreed.server_public_key};
    std::lock_guard lock(tables_mutex_);
    // Aged out meanwhile: the session is answered all the same.
    if (pending_handshake* pending = find_pending(from.address(), request.cookie)) {
        pending->session_id = made.session_id;
        pending->server_public_key = made.server_public_key;
        --tables_.at(from.address()).unanswered;
    }
    return made;
}

void rtmfp_server_handshake::answer_key_exchange(std::uint32_t initiator_session_id,
                                                 const answer& made, const endpoint& to) {
    reply(
        initiator_session_id,
        rtmfp_handshake_exchg_key_rep(made.session_id, rtmfp_handshake_exchg_key_rep::key_form_128,
                                      rtmfp_server_nonce_prefix, made.server_public_key),
        to);
}

void rtmfp_server_handshake::introduce(const rtmfp_handshake_req& request, const endpoint& from) {
    if (request.discriminator.value.size() != std::tuple_size_v<rtmfp_peer_id>) {
        return;
    }
    const rtmfp_handshake_host::introduction found = host_.find_for_introduction(
        from, fixed_bytes<std::tuple_size_v<rtmfp_peer_id>>(request.discriminator.value));
    if (!found.target || found.target->is_closed()) {
        return;
    }
    const std::vector<endpoint> requester_addresses =
        found.requester ? found.requester->addresses() : std::vector<endpoint>{from};
    found.target->send_punch_request(requester_addresses, request.tag);

    const std::vector<endpoint> target_addresses = found.target->addresses();
    std::vector<rtmfp_address> records;
    records.reserve(target_addresses.size());
    for (std::size_t i = 0; i < target_addresses.size(); ++i) {
        // The first is the one the server sees, the rest the peer announced.
        records.push_back(rtmfp_make_address(target_addresses[i], i == 0));
    }
    reply(0, rtmfp_cmd_holepunch_rep(request.tag, std::move(records)), from);
}

bool rtmfp_server_handshake::tick() {
    std::lock_guard lock(tables_mutex_);
    for (auto table = tables_.begin(); table != tables_.end();) {
        auto& by_cookie = table->second.by_cookie;
        for (auto pending = by_cookie.begin(); pending != by_cookie.end();) {
            if (pending->second.age > max_age) {
                table->second.by_tag.erase(pending->second.tag);
                budget_.release(pending->second.cost);
                if (pending->second.session_id == 0) {
                    --table->second.unanswered;
                }
                pending = by_cookie.erase(pending);
            } else {
                ++pending->second.age;
                ++pending;
            }
        }
        table = by_cookie.empty() ? tables_.erase(table) : std::next(table);
    }
    return true;
}

std::size_t rtmfp_server_handshake::pending_count() const {
    std::lock_guard lock(tables_mutex_);
    std::size_t count = 0;
    for (const auto& [address, table] : tables_) {
        count += table.by_cookie.size();
    }
    return count;
}

rtmfp_server_handshake::pending_handshake* rtmfp_server_handshake::find_pending(
    const boost::asio::ip::address& address, rtmfp_bytes cookie) {
    const auto table = tables_.find(address);
    if (table == tables_.end() || cookie.size() != rtmfp_cookie_size) {
        return nullptr;
    }
    const auto pending = table->second.by_cookie.find(fixed_bytes<rtmfp_cookie_size>(cookie));
    return pending == table->second.by_cookie.end() ? nullptr : &pending->second;
}

void rtmfp_server_handshake::forget_all(address_table& table) noexcept {
    for (const auto& [cookie, pending] : table.by_cookie) {
        budget_.release(pending.cost);
    }
    table.by_cookie.clear();
    table.by_tag.clear();
    table.unanswered = 0;
}

void rtmfp_server_handshake::release_claim(const boost::asio::ip::address& address,
                                           rtmfp_bytes cookie) {
    std::lock_guard lock(tables_mutex_);
    if (pending_handshake* pending = find_pending(address, cookie)) {
        pending->claimed = false;
    }
}

void rtmfp_server_handshake::reply(std::uint32_t session_id, const rtmfp_command& chunk,
                                   const endpoint& to) {
    send_to(begin_packet(session_id, rtmfp_marker_handshake, chunk), to);
}
