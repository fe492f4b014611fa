#include "qen/qen_url.hpp"

#include <arpa/inet.h>

#include <boost/regex.hpp>

#include "foundation/hex.hpp"

namespace qen {
std::string percent_decode(const std::string& text, bool plus_is_space) {
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%' && i + 2 < text.size() && hex_digit_value(text[i + 1]) >= 0 &&
            hex_digit_value(text[i + 2]) >= 0) {
            decoded.push_back(static_cast<char>(hex_digit_value(text[i + 1]) * 16 +
                                                hex_digit_value(text[i + 2])));
            i += 2;
        } else if (c == '+' && plus_is_space) {
            decoded.push_back(' ');
        } else {
            decoded.push_back(c);
        }
    }
    return decoded;
}

namespace {

// What a bracketed host holds: an IPv6 address as inet_pton reads it.
bool is_ipv6_literal(const std::string& text) {
    in6_addr address;
    return ::inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

}  // namespace

bool split_url(const std::string& url, url_parts& parts) {
    // The host is a bracketed IPv6 literal (group 2), or everything up to a
    // ':', '/' or '?' (group 3). A bracketed text must hold a ':' to be
    // taken as a literal: the other ones split as plain hosts, as they
    // always have.
    static const boost::regex url_pattern(
        "([^?/:]+):/{2,3}(?:\\[([0-9A-Fa-f:.]*:[0-9A-Fa-f:.]*)\\]|([^?/:]*))"
        "(:[0-9]{1,5}){0,1}(/[^?]*){0,1}(\\?.*){0,1}");
    static const boost::regex pair_pattern("([^=&])+=([^=&]*)");

    boost::smatch match;
    if (!boost::regex_match(url, match, url_pattern)) {
        return false;
    }
    if (match[2].matched && !is_ipv6_literal(match[2].str())) {
        return false;
    }
    std::int32_t port = 0;
    if (match[4].matched) {
        port = std::stoi(match[4].str().substr(1));
        if (port > 65535) {
            return false;
        }
    }

    parts.protocol = match[1].str();
    parts.host = match[2].matched ? match[2].str() : match[3].str();
    parts.port = port;
    parts.path = match[5].matched ? percent_decode(match[5].str()) : std::string();
    parts.query.clear();
    if (match[6].matched) {
        // Split before decoding, so that a name or a value may hold an
        // encoded '&' or '=' (a password, say).
        const std::string query = match[6].str().substr(1);
        for (boost::sregex_iterator it(query.begin(), query.end(), pair_pattern), end; it != end;
             ++it) {
            const std::string pair = it->str();
            const auto equals = pair.find('=');
            parts.query.emplace(percent_decode(pair.substr(0, equals), true),
                                percent_decode(pair.substr(equals + 1), true));
        }
    }
    return true;
}

}  // namespace qen
