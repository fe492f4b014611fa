#include "lumo_upl/launch_argument.hpp"

#include <openssl/evp.h>

#include <boost/algorithm/string/split.hpp>

#include <stdexcept>
#include <vector>

#include "lumo_upl/media_probe.hpp"

namespace lumo_upl {
namespace {

int hex_value(char digit) {
    if (digit >= '0' && digit <= '9') {
        return digit - '0';
    }
    if (digit >= 'a' && digit <= 'f') {
        return digit - 'a' + 10;
    }
    if (digit >= 'A' && digit <= 'F') {
        return digit - 'A' + 10;
    }
    return -1;
}

// The launch code travels behind one '+', plain or percent-encoded, and
// the site may close the argument with a '/'.
std::string launch_code_of(std::string part) {
    if (!part.empty() && part.back() == '/') {
        part.pop_back();
    }
    if (part.size() <= 3) {
        return part;
    }
    if (part.starts_with("%2B")) {
        part = url_decode(part);
    }
    return part.substr(1);
}

}  // namespace

std::string url_decode(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    std::size_t at = 0;
    while (text.size() - at >= 3) {
        const char byte = text[at];
        if (byte == '%') {
            const int high = hex_value(text[at + 1]);
            const int low = hex_value(text[at + 2]);
            if (high >= 0 && low >= 0) {
                decoded.push_back(static_cast<char>(high * 16 + low));
                at += 3;
                continue;
            }
        }
        decoded.push_back(byte == '+' ? ' ' : byte);
        ++at;
    }
    for (; at < text.size(); ++at) {
        decoded.push_back(text[at] == '+' ? ' ' : text[at]);
    }
    return decoded;
}

std::string make_ipc_name(const std::string& site_address) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(site_address.data(), site_address.size(), digest, &size, EVP_sha256(),
                   nullptr) != 1) {
        throw std::runtime_error("SHA-256 failed");
    }
    return hex_upper(digest, size);
}

launch_argument parse_launch_argument(int argc, const char* const* argv) {
    launch_argument launch;
    if (argc < 2 || argv[1] == nullptr) {
        return launch;
    }
    std::vector<std::string> parts;
    const std::string argument(argv[1]);
    boost::algorithm::split(parts, argument, [](char c) { return c == ','; });
    if (parts.size() < 2) {
        return launch;
    }
    // The first eight characters are the launching page's own.
    launch.site_address = url_decode(parts[0].size() > 8 ? parts[0].substr(8) : std::string());
    launch.launch_code = launch_code_of(parts[1]);
    launch.instance_name = make_ipc_name(launch.site_address);
    return launch;
}

}  // namespace lumo_upl
