#include "lumo_upl/launch_argument.hpp"

#include <boost/algorithm/string/split.hpp>

#include <stdexcept>
#include <vector>

#include "foundation/crypto.hpp"
#include "foundation/hex.hpp"
#include "qen/qen_url.hpp"

namespace lumo_upl {
namespace {

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
    // The rule of the servers' query strings.
    return qen::percent_decode(std::string(text), true);
}

std::string make_ipc_name(const std::string& site_address) {
    const sha256_digest digest =
        sha256({{reinterpret_cast<const std::uint8_t*>(site_address.data()), site_address.size()}});
    return hex_encode(digest.data(), digest.size(), hex_letters::upper);
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
