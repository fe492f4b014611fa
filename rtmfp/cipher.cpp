#include "rtmfp/cipher.hpp"

#include <openssl/evp.h>

#include <climits>
#include <stdexcept>

namespace {

constexpr std::uint32_t aes_block_size = 16;
constexpr unsigned char zero_iv[aes_block_size] = {};

}  // namespace

void rtmfp_cipher::context_deleter::operator()(EVP_CIPHER_CTX* context) const noexcept {
    EVP_CIPHER_CTX_free(context);
}

rtmfp_cipher::rtmfp_cipher(const rtmfp_key& key, direction way)
    : context_(EVP_CIPHER_CTX_new()), encrypting_(way == direction::encrypt ? 1 : 0) {
    if (!context_ ||
        EVP_CipherInit_ex(context_.get(), EVP_aes_128_cbc(), nullptr, key.data(), zero_iv,
                          encrypting_) != 1 ||
        EVP_CIPHER_CTX_set_padding(context_.get(), 0) != 1) {
        throw std::runtime_error("AES-128-CBC setup failed");
    }
}

rtmfp_cipher::~rtmfp_cipher() = default;

void rtmfp_cipher::apply(std::uint8_t* bytes, std::uint32_t length) {
    if (length % aes_block_size != 0 || length > INT_MAX) {
        throw std::invalid_argument("AES-128-CBC needs whole 16-byte blocks");
    }
    std::lock_guard lock(mutex_);
    // Every packet starts the chain afresh from the zero IV; the expanded key
    // stays in the context.
    int written = 0;
    int final_written = 0;
    if (EVP_CipherInit_ex(context_.get(), nullptr, nullptr, nullptr, zero_iv, encrypting_) != 1 ||
        EVP_CipherUpdate(context_.get(), bytes, &written, bytes, static_cast<int>(length)) != 1 ||
        EVP_CipherFinal_ex(context_.get(), bytes + written, &final_written) != 1 ||
        static_cast<std::uint32_t>(written + final_written) != length) {
        throw std::runtime_error("AES-128-CBC failed");
    }
}
