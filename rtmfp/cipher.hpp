#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

#include <openssl/types.h>

using rtmfp_key = std::array<std::uint8_t, 16>;

// The AES-128 key with which every RTMFP client encrypts and decrypts its
// handshake packets; the server's handshake and NAT-detection endpoints use
// it both ways.
inline constexpr rtmfp_key rtmfp_default_key = {0x41, 0x64, 0x6f, 0x62, 0x65, 0x20, 0x53, 0x79,
                                                0x73, 0x74, 0x65, 0x6d, 0x73, 0x20, 0x30, 0x32};

// AES-128-CBC in one direction with a zero IV for every packet and no
// padding of its own. The key is expanded once; an EVP context keeps state
// between calls, so one cipher used from several threads (a session's
// encryption runs on the decoding thread and on timers) takes its lock.
class rtmfp_cipher {
  public:
    enum class direction { encrypt, decrypt };

    rtmfp_cipher(const rtmfp_key& key, direction way);
    ~rtmfp_cipher();

    rtmfp_cipher(const rtmfp_cipher&) = delete;
    rtmfp_cipher& operator=(const rtmfp_cipher&) = delete;

    // Transforms `length` bytes in place; the length must be a multiple of 16
    // (std::invalid_argument otherwise, nothing changed).
    void apply(std::uint8_t* bytes, std::uint32_t length);

  private:
    struct context_deleter {
        void operator()(EVP_CIPHER_CTX* context) const noexcept;
    };

    std::mutex mutex_;
    std::unique_ptr<EVP_CIPHER_CTX, context_deleter> context_;
    const int encrypting_;
};
