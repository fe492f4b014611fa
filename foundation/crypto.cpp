#include "foundation/crypto.hpp"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/dh.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>

#include <stdexcept>

namespace {

struct openssl_deleter {
    void operator()(EVP_MD_CTX* p) const noexcept { EVP_MD_CTX_free(p); }
    void operator()(EVP_MAC* p) const noexcept { EVP_MAC_free(p); }
    void operator()(EVP_MAC_CTX* p) const noexcept { EVP_MAC_CTX_free(p); }
    void operator()(EVP_PKEY* p) const noexcept { EVP_PKEY_free(p); }
    void operator()(EVP_PKEY_CTX* p) const noexcept { EVP_PKEY_CTX_free(p); }
    void operator()(BIGNUM* p) const noexcept { BN_free(p); }
    void operator()(BN_CTX* p) const noexcept { BN_CTX_free(p); }
    void operator()(OSSL_PARAM_BLD* p) const noexcept { OSSL_PARAM_BLD_free(p); }
    void operator()(OSSL_PARAM* p) const noexcept { OSSL_PARAM_free(p); }
};
template <class T>
using owned = std::unique_ptr<T, openssl_deleter>;

constexpr std::size_t key_size = dh1024_key_pair::key_size;
// Peer keys closer than this to either end of the group are refused.
constexpr int margin_bits = 24;

const BIGNUM* group_prime() {
    static const owned<BIGNUM> prime(BN_get_rfc2409_prime_1024(nullptr));
    return prime.get();
}

const BIGNUM* group_generator() {
    static const owned<BIGNUM> generator = [] {
        owned<BIGNUM> g(BN_new());
        if (g && BN_set_word(g.get(), 2) != 1) {
            g.reset();
        }
        return g;
    }();
    return generator.get();
}

// A key object of the group from parameters built by `add` (besides p and
// g), of the given selection; null on any failure.
template <class Add>
owned<EVP_PKEY> group_key(int selection, Add&& add) {
    owned<OSSL_PARAM_BLD> builder(OSSL_PARAM_BLD_new());
    if (!builder || !group_prime() || !group_generator() ||
        OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_FFC_P, group_prime()) != 1 ||
        OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_FFC_G, group_generator()) != 1 ||
        !add(builder.get())) {
        return nullptr;
    }
    owned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(builder.get()));
    owned<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new_from_name(nullptr, "DH", nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &key, selection, params.get()) != 1) {
        return nullptr;
    }
    return owned<EVP_PKEY>(key);
}

const EVP_PKEY* group_parameters() {
    static const owned<EVP_PKEY> group =
        group_key(EVP_PKEY_KEY_PARAMETERS, [](OSSL_PARAM_BLD*) { return true; });
    return group.get();
}

EVP_MAC* hmac_algorithm() {
    static const owned<EVP_MAC> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
    if (!mac) {
        throw std::runtime_error("HMAC is not available");
    }
    return mac.get();
}

owned<BIGNUM> number_of(byte_view bytes) {
    return owned<BIGNUM>(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
}

// 2^24 <= key <= p - 2^24.
bool in_safe_range(const BIGNUM* key) {
    owned<BIGNUM> low(BN_new());
    owned<BIGNUM> high(BN_dup(group_prime()));
    return low && high && BN_set_bit(low.get(), margin_bits) == 1 &&
           BN_sub(high.get(), high.get(), low.get()) == 1 && BN_cmp(key, low.get()) >= 0 &&
           BN_cmp(key, high.get()) <= 0;
}

}  // namespace

sha256_digest sha256(std::initializer_list<byte_view> parts) {
    owned<EVP_MD_CTX> context(EVP_MD_CTX_new());
    bool ok = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1;
    for (const byte_view part : parts) {
        ok = ok && EVP_DigestUpdate(context.get(), part.data(), part.size()) == 1;
    }
    sha256_digest digest;
    unsigned int written = 0;
    if (!ok || EVP_DigestFinal_ex(context.get(), digest.data(), &written) != 1 ||
        written != digest.size()) {
        throw std::runtime_error("SHA-256 failed");
    }
    return digest;
}

sha256_digest hmac_sha256(byte_view key, std::initializer_list<byte_view> parts) {
    owned<EVP_MAC_CTX> context(EVP_MAC_CTX_new(hmac_algorithm()));
    char digest_name[] = "SHA256";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest_name, 0),
        OSSL_PARAM_construct_end()};
    bool ok = context && EVP_MAC_init(context.get(), key.data(), key.size(), params) == 1;
    for (const byte_view part : parts) {
        ok = ok && EVP_MAC_update(context.get(), part.data(), part.size()) == 1;
    }
    sha256_digest digest;
    std::size_t written = 0;
    if (!ok || EVP_MAC_final(context.get(), digest.data(), &written, digest.size()) != 1 ||
        written != digest.size()) {
        throw std::runtime_error("HMAC-SHA256 failed");
    }
    return digest;
}

void random_bytes(std::uint8_t* out, std::size_t count) {
    if (count != 0 && RAND_bytes(out, static_cast<int>(count)) != 1) {
        throw std::runtime_error("No random bytes");
    }
}

void dh1024_key_pair::key_deleter::operator()(EVP_PKEY* key) const noexcept {
    EVP_PKEY_free(key);
}

dh1024_key_pair::dh1024_key_pair(key_handle key) : key_(std::move(key)) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key_.get(), OSSL_PKEY_PARAM_PUB_KEY, &raw) != 1) {
        throw std::runtime_error("DH_generate_key failed");
    }
    const owned<BIGNUM> number(raw);
    if (BN_bn2binpad(number.get(), public_key_.data(), key_size) != int(key_size)) {
        throw std::runtime_error("DH_generate_key failed");
    }
}

dh1024_key_pair::~dh1024_key_pair() = default;
dh1024_key_pair::dh1024_key_pair(dh1024_key_pair&&) noexcept = default;
dh1024_key_pair& dh1024_key_pair::operator=(dh1024_key_pair&&) noexcept = default;

dh1024_key_pair dh1024_key_pair::generate() {
    const EVP_PKEY* group = group_parameters();
    owned<EVP_PKEY_CTX> context(
        group ? EVP_PKEY_CTX_new_from_pkey(nullptr, const_cast<EVP_PKEY*>(group), nullptr)
              : nullptr);
    if (!context) {
        throw std::runtime_error("DH_new failed");
    }
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_keygen_init(context.get()) != 1 || EVP_PKEY_keygen(context.get(), &key) != 1) {
        throw std::runtime_error("DH_generate_key failed");
    }
    return dh1024_key_pair(key_handle(key));
}

dh1024_key_pair dh1024_key_pair::from_private_key(byte_view private_key) {
    const owned<BIGNUM> secret = number_of(private_key);
    owned<BIGNUM> published(BN_new());
    owned<BN_CTX> scratch(BN_CTX_new());
    if (!secret || !published || !scratch ||
        BN_mod_exp(published.get(), group_generator(), secret.get(), group_prime(),
                   scratch.get()) != 1) {
        throw std::runtime_error("DH_new failed");
    }
    owned<EVP_PKEY> key = group_key(EVP_PKEY_KEYPAIR, [&](OSSL_PARAM_BLD* builder) {
        return OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_PRIV_KEY, secret.get()) == 1 &&
               OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_PUB_KEY, published.get()) == 1;
    });
    if (!key) {
        throw std::runtime_error("DH_new failed");
    }
    return dh1024_key_pair(key_handle(key.release()));
}

dh1024_key_pair::key_bytes dh1024_key_pair::shared_secret(byte_view peer_public_key) const {
    const owned<BIGNUM> peer_number = number_of(peer_public_key);
    if (!peer_number || peer_public_key.size() > key_size || !in_safe_range(peer_number.get())) {
        throw std::runtime_error("DH_compute_key failed");
    }
    const owned<EVP_PKEY> peer = group_key(EVP_PKEY_PUBLIC_KEY, [&](OSSL_PARAM_BLD* builder) {
        return OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_PUB_KEY, peer_number.get()) == 1;
    });
    owned<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new_from_pkey(nullptr, key_.get(), nullptr));
    key_bytes secret{};
    std::size_t length = secret.size();
    // The peer key was checked above; OpenSSL's own check wants a subgroup
    // order that this group does not name.
    if (!peer || !context || EVP_PKEY_derive_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_dh_pad(context.get(), 1) != 1 ||
        EVP_PKEY_derive_set_peer_ex(context.get(), peer.get(), 0) != 1 ||
        EVP_PKEY_derive(context.get(), secret.data(), &length) != 1 || length != secret.size()) {
        throw std::runtime_error("DH_compute_key failed");
    }
    return secret;
}
