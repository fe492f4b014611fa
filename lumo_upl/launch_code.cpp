#include "lumo_upl/launch_code.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <memory>
#include <stdexcept>
#include <string_view>

#include "vornebased/sysutils.hpp"

namespace lumo_upl {
namespace {

constexpr std::size_t code_length = 44;
constexpr std::size_t block_length = 32;
constexpr std::size_t part_length = 16;

// Shared with the web site, which decodes the codes on its side.
constexpr std::string_view cipher_key = "q4Tn8Wz1Hc6Yb3Ld";
constexpr std::string_view cipher_iv = "m7Pr2Kx9Fv5Js0Ge";

using cipher_context = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;
using digest_context = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

const unsigned char* bytes_of(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

// Both blocks through AES-128-CBC from a fresh initialisation vector, no
// padding: 32 bytes in, 32 out.
std::string run_cipher(std::string_view input, bool encrypt) {
    cipher_context context(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    std::string output(block_length, '\0');
    auto* out = reinterpret_cast<unsigned char*>(output.data());
    int produced = 0;
    int final_produced = 0;
    if (!context ||
        EVP_CipherInit_ex(context.get(), EVP_aes_128_cbc(), nullptr, bytes_of(cipher_key),
                          bytes_of(cipher_iv), encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1 ||
        EVP_CipherUpdate(context.get(), out, &produced, bytes_of(input),
                         static_cast<int>(input.size())) != 1 ||
        EVP_CipherFinal_ex(context.get(), out + produced, &final_produced) != 1 ||
        produced + final_produced != static_cast<int>(block_length)) {
        throw std::runtime_error("AES-128-CBC failed");
    }
    return output;
}

std::string md5_of(std::string_view text) {
    digest_context context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1 ||
        EVP_DigestUpdate(context.get(), text.data(), text.size()) != 1 ||
        EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length != part_length) {
        throw std::runtime_error("MD5 failed");
    }
    return std::string(reinterpret_cast<const char*>(digest.data()), length);
}

bool is_base64_character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

// 32 bytes take ten whole groups and a last one of two bytes: 43
// characters of the alphabet and one '='. Anything else would decode into
// a block that was never encrypted.
bool is_code_form(std::string_view code) {
    return code.size() == code_length && code.back() == '=' &&
           std::all_of(code.begin(), code.end() - 1, is_base64_character);
}

}  // namespace

bool decode_launch_code(const std::string& code, std::string& user_id,
                        std::string& password_digest) {
    if (!is_code_form(code)) {
        return false;
    }
    const std::string cipher = VorneBased::Base64Decode(code).substr(0, block_length);
    try {
        const std::string plain = run_cipher(cipher, false);
        user_id = plain.substr(0, part_length);
        password_digest = plain.substr(part_length);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::string encode_launch_code(const std::string& user_id, const std::string& password) {
    if (user_id.size() != part_length) {
        return {};
    }
    try {
        const std::string cipher = run_cipher(user_id + md5_of(password), true);
        return VorneBased::Base64Encode(cipher.data(), cipher.size());
    } catch (const std::exception&) {
        return {};
    }
}

std::string reencode_launch_code(const std::string& code, const std::string& password) {
    std::string user_id;
    std::string digest;
    if (!decode_launch_code(code, user_id, digest)) {
        return {};
    }
    return encode_launch_code(user_id, password);
}

}  // namespace lumo_upl
