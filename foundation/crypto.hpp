#pragma once

// Digests and key agreement for the servers' handshakes, on OpenSSL's EVP
// interfaces. Every function is safe to call from several threads at once.

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>

#include <openssl/types.h>

using byte_view = std::span<const std::uint8_t>;
using sha256_digest = std::array<std::uint8_t, 32>;

// SHA-256 of the parts one after another.
sha256_digest sha256(std::initializer_list<byte_view> parts);
// HMAC-SHA256 with `key` over the parts one after another.
sha256_digest hmac_sha256(byte_view key, std::initializer_list<byte_view> parts);

// Writes `count` bytes from OpenSSL's generator (std::runtime_error when it
// cannot give them).
void random_bytes(std::uint8_t* out, std::size_t count);

// A Diffie-Hellman key pair in the 1024-bit MODP group of RFC 2409 (the
// second Oakley group, generator 2). Numbers go in and out as big-endian
// bytes; public keys and secrets come out as 128 bytes, left-padded with
// zeros.
class dh1024_key_pair {
  public:
    static constexpr std::size_t key_size = 128;
    using key_bytes = std::array<std::uint8_t, key_size>;

    // A fresh pair. Throws "DH_new failed" when the key object cannot be
    // made, "DH_generate_key failed" when the key cannot be drawn.
    static dh1024_key_pair generate();
    // The pair of a known private key (tests compare with other tools).
    static dh1024_key_pair from_private_key(byte_view private_key);

    ~dh1024_key_pair();
    dh1024_key_pair(dh1024_key_pair&&) noexcept;
    dh1024_key_pair& operator=(dh1024_key_pair&&) noexcept;

    const key_bytes& public_key() const noexcept { return public_key_; }

    // The secret shared with the owner of `peer_public_key`. A peer key
    // outside 2^24 .. p - 2^24 is refused: the small and large ones (0, 1,
    // p - 1 among them) would give a secret anyone can guess. Throws
    // "DH_compute_key failed" then, and when the computation fails.
    key_bytes shared_secret(byte_view peer_public_key) const;

  private:
    struct key_deleter {
        void operator()(EVP_PKEY* key) const noexcept;
    };
    using key_handle = std::unique_ptr<EVP_PKEY, key_deleter>;

    explicit dh1024_key_pair(key_handle key);

    key_handle key_;
    key_bytes public_key_{};
};
