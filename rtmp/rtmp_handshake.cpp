#include "rtmp/rtmp_handshake.hpp"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <array>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <span>
#include <stdexcept>

#include "rtmp/clock.hpp"
#include "rtmp/random_generator.hpp"

namespace rtmp {

namespace {

constexpr std::uint32_t digest_size = 32;
constexpr std::uint32_t public_key_size = 128;

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

std::uint32_t read_u32_be(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

void write_u32_be(std::uint8_t* p, std::uint32_t value) {
    p[0] = static_cast<std::uint8_t>(value >> 24);
    p[1] = static_cast<std::uint8_t>(value >> 16);
    p[2] = static_cast<std::uint8_t>(value >> 8);
    p[3] = static_cast<std::uint8_t>(value);
}

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

struct mac_deleter {
    void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
    void operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }
};

EVP_MAC* hmac() {
    static const std::unique_ptr<EVP_MAC, mac_deleter> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
    if (!mac) {
        throw std::runtime_error("HMAC is not available");
    }
    return mac.get();
}

void hmac_sha256(std::span<const std::uint8_t> key,
                 std::initializer_list<std::span<const std::uint8_t>> parts, std::uint8_t* out) {
    std::unique_ptr<EVP_MAC_CTX, mac_deleter> ctx(EVP_MAC_CTX_new(hmac()));
    char digest_name[] = "SHA256";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest_name, 0),
        OSSL_PARAM_construct_end()};
    bool ok = ctx && EVP_MAC_init(ctx.get(), key.data(), key.size(), params) == 1;
    for (const auto& part : parts) {
        ok = ok && EVP_MAC_update(ctx.get(), part.data(), part.size()) == 1;
    }
    std::size_t written = 0;
    if (!ok || EVP_MAC_final(ctx.get(), out, &written, digest_size) != 1 ||
        written != digest_size) {
        throw std::runtime_error("HMAC-SHA256 failed");
    }
}

// The digest of a packet with its own digest bytes left out.
void packet_digest(std::span<const std::uint8_t> key, const std::uint8_t* packet, std::uint32_t at,
                   std::uint8_t* out) {
    const std::uint32_t after = at + digest_size;
    hmac_sha256(key, {{packet, at}, {packet + after, rtmp_handshake::packet_size - after}}, out);
}

bool digest_matches(const std::uint8_t* c1, std::uint32_t at) {
    std::uint8_t expected[digest_size];
    packet_digest(client_key_text, c1, at, expected);
    return std::memcmp(expected, c1 + at, digest_size) == 0;
}

struct pkey_deleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
    void operator()(BIGNUM* bn) const { BN_free(bn); }
    void operator()(OSSL_PARAM_BLD* bld) const { OSSL_PARAM_BLD_free(bld); }
    void operator()(OSSL_PARAM* params) const { OSSL_PARAM_free(params); }
};
template <class T>
using ossl_ptr = std::unique_ptr<T, pkey_deleter>;

// The 1024-bit MODP group of RFC 2409 with generator 2, built once.
ossl_ptr<EVP_PKEY> make_group() {
    ossl_ptr<BIGNUM> prime(BN_get_rfc2409_prime_1024(nullptr));
    ossl_ptr<BIGNUM> generator(BN_new());
    ossl_ptr<OSSL_PARAM_BLD> builder(OSSL_PARAM_BLD_new());
    if (!prime || !generator || !builder || BN_set_word(generator.get(), 2) != 1 ||
        OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_FFC_P, prime.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_FFC_G, generator.get()) != 1) {
        return nullptr;
    }
    ossl_ptr<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(builder.get()));
    ossl_ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "DH", nullptr));
    EVP_PKEY* group = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &group, EVP_PKEY_KEY_PARAMETERS, params.get()) != 1) {
        return nullptr;
    }
    return ossl_ptr<EVP_PKEY>(group);
}

}  // namespace

// About one public key in 256 is shorter than 128 bytes: it is padded, never
// left short.
void make_dh_public_key(std::uint8_t* out) {
    static const ossl_ptr<EVP_PKEY> group = make_group();
    ossl_ptr<EVP_PKEY_CTX> ctx(group ? EVP_PKEY_CTX_new_from_pkey(nullptr, group.get(), nullptr)
                                     : nullptr);
    if (!ctx) {
        throw std::runtime_error("DH_new failed");
    }
    EVP_PKEY* raw_key = nullptr;
    if (EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &raw_key) != 1) {
        throw std::runtime_error("DH_generate_key failed");
    }
    ossl_ptr<EVP_PKEY> key(raw_key);
    BIGNUM* raw_public = nullptr;
    if (EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, &raw_public) != 1) {
        throw std::runtime_error("DH_generate_key failed");
    }
    ossl_ptr<BIGNUM> public_key(raw_public);
    if (BN_bn2binpad(public_key.get(), out, public_key_size) != int(public_key_size)) {
        throw std::runtime_error("DH_generate_key failed");
    }
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
    client_time_ = read_u32_be(c1);
    client_version_ = read_u32_be(c1 + 4);

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
    write_u32_be(s1, server_time_);
    std::memset(s1 + 4, 0, 4);
    shared_random_generator().fill(packet_size - 8, s1 + 8);

    write_u32_be(s2, server_time_);
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
    write_u32_be(s1, server_time_);
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
    std::uint8_t temporary_key[digest_size];
    hmac_sha256(full_server_key, {{c1 + client_digest_at, digest_size}}, temporary_key);
    hmac_sha256(temporary_key, {{s2, signed_size}}, s2 + signed_size);
}

}  // namespace rtmp
