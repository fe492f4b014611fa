#pragma once

#include <string>
#include <string_view>

// The one argument with which the web site starts the client: eight
// characters of the site's own, the percent-encoded site address, a comma
// and the launch code behind one '+' (plain or "%2B"), often with a
// trailing '/'.
namespace lumo_upl {

// Percent-decoding in one pass: "%hh" (either case) becomes its byte, '+' a
// space, and a '%' without two hexadecimal digits stays as it is; in the
// last two bytes only '+' changes.
std::string url_decode(std::string_view text);

// The instance name of a site: the upper-case hexadecimal SHA-256 of the
// address's bytes (64 characters). It names the site's single-instance
// queue and its task file.
std::string make_ipc_name(const std::string& site_address);

struct launch_argument {
    std::string site_address;
    std::string launch_code;
    std::string instance_name;
};

// What the program's arguments carry; all empty without an argument or
// without a comma in it.
launch_argument parse_launch_argument(int argc, const char* const* argv);

}  // namespace lumo_upl
