#include "qen/qen_url.hpp"

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

bool split_url(const std::string& url, url_parts& parts) {
    static const boost::regex url_pattern(
        "([^?/:]+):/{2,3}([^?/:]*)(:[0-9]{1,5}){0,1}(/[^?]*){0,1}(\\?.*){0,1}");
    static const boost::regex pair_pattern("([^=&])+=([^=&]*)");

    boost::smatch match;
    if (!boost::regex_match(url, match, url_pattern)) {
        return false;
    }
    std::int32_t port = 0;
    if (match[3].matched) {
        port = std::stoi(match[3].str().substr(1));
        if (port > 65535) {
            return false;
        }
    }

    parts.protocol = match[1].str();
    parts.host = match[2].str();
    parts.port = port;
    parts.path = match[4].matched ? percent_decode(match[4].str()) : std::string();
    parts.query.clear();
    if (match[5].matched) {
        const std::string query = percent_decode(match[5].str().substr(1), true);
        for (boost::sregex_iterator it(query.begin(), query.end(), pair_pattern), end; it != end;
             ++it) {
            const std::string pair = it->str();
            const auto equals = pair.find('=');
            parts.query.emplace(pair.substr(0, equals), pair.substr(equals + 1));
        }
    }
    return true;
}

}  // namespace qen
