#pragma once

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace lumo_install {

// Why a URL could not be read.
class url_error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// How long a server may keep an HTTP read waiting before it fails.
inline constexpr std::chrono::milliseconds default_idle_timeout{30000};
inline constexpr int max_redirects = 5;

// Reads the body at an http:// or file:// URL in blocks of 1024 bytes, until
// it ends or more than `capacity` bytes are held, and gives what is held. An
// HTTP answer needs a 2xx status; redirects to other http:// URLs are
// followed up to max_redirects times. Throws on a malformed URL, on one that
// cannot be opened, and on a body that fails before its end (a connection
// cut short, a read that waited longer than `idle_timeout`).
std::string read_url(const std::string& url, std::uint64_t capacity,
                     std::chrono::milliseconds idle_timeout = default_idle_timeout);

}  // namespace lumo_install
