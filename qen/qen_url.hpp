#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace qen {

// A URL's query pairs, decoded; a name given twice keeps its first value.
using query_map = std::map<std::string, std::string>;

// The parts of a client's URL (an RTMP tcUrl, an RTMFP connect URL).
struct url_parts {
    std::string protocol;
    std::string host;
    std::int32_t port = 0;  // 0 when the URL names none
    std::string path;       // percent-decoded
    query_map query;
};

// Splits "proto://host[:port][/path][?query]", where the host may be an
// IPv6 literal in brackets (kept without them). Query names and values are
// split on '&' and '=' first and decoded after. Returns false and changes
// nothing when the text is not such a URL (a port above 65535 or a bracketed
// host that is no IPv6 address included).
bool split_url(const std::string& url, url_parts& parts);

// "%41" becomes "A"; a "%" not followed by two hex digits stays. With
// plus_is_space, "+" becomes " " (the query rule).
std::string percent_decode(const std::string& text, bool plus_is_space = false);

}  // namespace qen
