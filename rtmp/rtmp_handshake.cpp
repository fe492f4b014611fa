#include "rtmp/rtmp_handshake.hpp"

#include <boost/endian/conversion.hpp>

#include <array>
#include <cstring>
#include <stdexcept>

#include "foundation/crypto.hpp"
#include "rtmp/clock.hpp"
#include "rtmp/random_generator.hpp"

namespace rtmp {

namespace {

constexpr std::uint32_t digest_size = 32;

// The key texts and tail that every RTMP client and server uses.
constexpr std::array<std::uint8_t, 30> client_key_text = {
    0x47, 0x65, 0x6e, 0x75, 0x69, 0x6e, 0x65, 0x20, 0x41, 0x64, 0x6f, 0x62, 0x65, 0x20, 0x46,
    0x6c, 0x61, 0x73, 0x68, 0x20, 0x50, 0x6c, 0x61, 0x79, 0x65, 0x72, 0x20, 0x30, 0x30, 0x31};
constexpr std::array<std::uint8_t, 36> server_key_text = {
    0x47, 0x65, 0x6e, 0x75, 0x69, 0x6e, 0x65, 0x20, 0x41, 0x64, 0x6f, 0x62,
    0x65, 0x20, 0x46, 0x6c, 0x61, 0x73, 0x68, 0x20, 0x4d, 0x65, 0x64, 0x69,
    0x61, 0x20, 0x53, 0x65, 0x72, 0x76, 0x65, 0x72, 0x20, 0x30, 0x30, 0x31};
constexpr std::array<std::uint8_t, 32> key_tail = {
    0xf0, 0xee, 0xc2, 0x4a, 0x80, 0x68, 0xbe, 0xe8, 0x2e, 0x00, 0xd0, 0xd1, 0x02, 0x9e, 0x7e, 0x57,
    0x6e, 0xec, 0x5d, 0x2d, 0x29, 0x80, 0x6f, 0xab, 0x93, 0xb8, 0xe6, 0x36, 0xcf, 0xeb, 0x31, 0xae};

constexpr auto full_server_key = [] {
    std::array<std::uint8_t, server_key_text.size() + key_tail.size()> key{};
    for (std::size_t i = 0; i < server_key_text.size(); ++i) {
        key[i] = server_key_text[i];
    }
    for (std::size_t i = 0; i < key_tail.size(); ++i) {
        key[server_key_text.size() + i] = key_tail[i];
    }
    return key;
}();

// Where a digest or key sits: the sum of four bytes picks an offset.
std::uint32_t place(const std::uint8_t* packet, std::uint32_t sum_at, std::uint32_t modulus,
                    std::uint32_t base) {
    const std::uint32_t sum =
        packet[sum_at] + packet[sum_at + 1] + packet[sum_at + 2] + packet[sum_at + 3];
    return sum % modulus + base;
}

// The two layouts differ in which half of the packet holds the digest.
struct layout {
    std::uint32_t digest_sum_at, digest_base;
    std::uint32_t key_sum_at, key_base;
};
constexpr layout layout_a{8, 12, 1532, 772};
constexpr layout layout_b{772, 776, 768, 8};

std::uint32_t digest_place(const std::uint8_t* packet, const layout& l) {
    return place(packet, l.digest_sum_at, 728, l.digest_base);
}

std::uint32_t key_place(const std::uint8_t* packet, const layout& l) {
    return place(packet, l.key_sum_at, 632, l.key_base);
}

// The digest of a packet with its own digest bytes left out.
void packet_digest(std::span<const std::uint8_t> key, const std::uint8_t* packet, std::uint32_t at,
                   std::uint8_t* out) {
    const std::uint32_t after = at + digest_size;
    const sha256_digest digest =
        hmac_sha256(key, {{packet, at}, {packet + after, rtmp_handshake::packet_size - after}});
    std::memcpy(out, digest.data(), digest.size());
}

bool digest_matches(const std::uint8_t* c1, std::uint32_t at) {
    std::uint8_t expected[digest_size];
    packet_digest(client_key_text, c1, at, expected);
    return std::memcmp(expected, c1 + at, digest_size) == 0;
}

}  // namespace

// About one public key in 256 is shorter than 128 bytes: it is padded, never
// left short.
void make_dh_public_key(std::uint8_t* out) {
    const dh1024_key_pair key = dh1024_key_pair::generate();
    std::memcpy(out, key.public_key().data(), key.public_key().size());
}

bool rtmp_handshake::on_data(const std::uint8_t* data, std::uint32_t& count) {
    switch (state_) {
        case state::collecting_c0c1:
            if (collected_ == 0 && count == c0c1_size) {
                respond(data);
                state_ = state::collecting_c2;
                return true;
            }
            if (count > c0c1_size - collected_) {
                throw std::runtime_error("Bad handshake");
            }
            std::memcpy(c0c1_ + collected_, data, count);
            collected_ += count;
            if (collected_ == c0c1_size) {
                respond(c0c1_);
                collected_ = 0;
                state_ = state::collecting_c2;
            }
            return true;
        case state::collecting_c2:
            // C2 echoes our S1 and proves nothing we rely on: it is only
            // counted off.
            if (count < packet_size - collected_) {
                collected_ += count;
                return true;
            }
            count -= packet_size - collected_;
            collected_ = packet_size;
            state_ = state::done;
            return false;
        case state::done:
            break;
    }
    return false;
}

void rtmp_handshake::respond(const std::uint8_t* c0c1) {
    const std::uint8_t* c1 = c0c1 + 1;
    client_time_ = boost::endian::load_big_u32(c1);
    client_version_ = boost::endian::load_big_u32(c1 + 4);

    block_buffer block = owner_.allocate(12);
    std::uint8_t* out = block.data();
    out[0] = 3;
    if (client_version_ == 0) {
        respond_plain(c1, out + 1, out + 1 + packet_size);
    } else {
        respond_digest(c1, out + 1, out + 1 + packet_size);
    }
    block.set_size(answer_size);
    output_item answer(std::move(block));
    owner_.send(answer);
}

void rtmp_handshake::respond_plain(const std::uint8_t* c1, std::uint8_t* s1, std::uint8_t* s2) {
    server_time_ = time_of_day_ms();
    boost::endian::store_big_u32(s1, server_time_);
    std::memset(s1 + 4, 0, 4);
    shared_random_generator().fill(packet_size - 8, s1 + 8);

    boost::endian::store_big_u32(s2, server_time_);
    std::memcpy(s2 + 4, c1, 4);
    std::memcpy(s2 + 8, c1 + 8, packet_size - 8);
}

void rtmp_handshake::respond_digest(const std::uint8_t* c1, std::uint8_t* s1, std::uint8_t* s2) {
    const layout* chosen = &layout_a;
    std::uint32_t client_digest_at = digest_place(c1, layout_a);
    if (!digest_matches(c1, client_digest_at)) {
        chosen = &layout_b;
        client_digest_at = digest_place(c1, layout_b);
        if (!digest_matches(c1, client_digest_at)) {
            throw std::runtime_error("Bad handshake: unknown client C1 message format");
        }
    }

    server_time_ = time_of_day_ms();
    boost::endian::store_big_u32(s1, server_time_);
    const std::uint8_t version[4] = {4, 0, 0, 1};
    std::memcpy(s1 + 4, version, 4);
    shared_random_generator().fill(packet_size - 8, s1 + 8);
    // The bytes that choose the places lie outside both regions, so the key
    // and digest never move what chose them.
    make_dh_public_key(s1 + key_place(s1, *chosen));
    const std::uint32_t server_digest_at = digest_place(s1, *chosen);
    packet_digest(server_key_text, s1, server_digest_at, s1 + server_digest_at);

    const std::uint32_t signed_size = packet_size - digest_size;
    shared_random_generator().fill(signed_size, s2);
    const sha256_digest temporary_key =
        hmac_sha256(full_server_key, {{c1 + client_digest_at, digest_size}});
    const sha256_digest signature = hmac_sha256(temporary_key, {{s2, signed_size}});
    std::memcpy(s2 + signed_size, signature.data(), signature.size());
}

}  // namespace rtmp
