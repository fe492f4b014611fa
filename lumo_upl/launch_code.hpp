#pragma once

#include <string>

// The launch code with which the web site starts the client: Base64 of a
// 32-byte block, a 16-byte user id followed by the MD5 digest of the
// operator's password, encrypted with AES-128-CBC under a key and an
// initialisation vector that the site shares. The client sends it as the
// authToken of every request and builds a new one when the password
// changes; whether it is right only the site can tell.
namespace lumo_upl {

// The user id and password digest (16 bytes each) that `code` carries.
// False, with both outputs untouched, unless `code` is the 44-character
// Base64 form of exactly 32 bytes (43 characters of the alphabet and one
// final '=').
bool decode_launch_code(const std::string& code, std::string& user_id,
                        std::string& password_digest);

// The code of `user_id` and the UTF-8 `password`; empty when the user id is
// not 16 bytes.
std::string encode_launch_code(const std::string& user_id, const std::string& password);

// The code with the user id of `code` and the digest of `password`; empty
// when `code` does not decode.
std::string reencode_launch_code(const std::string& code, const std::string& password);

}  // namespace lumo_upl
