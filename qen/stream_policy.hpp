#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "qen/qen_app.hpp"
#include "qen/qen_url.hpp"

// What an application's settings let its clients do with streams: the checks
// a play or a publish passes before anything is opened, and what a stream
// name means. Plain functions of the settings, the client's tcUrl query and
// the application's client count.
namespace qen {

// The status (level "status") that tells a refused client why; the RTMP
// layer's error-level refusal follows it.
struct policy_refusal {
    std::string_view code;
    std::string_view description;
};

// Whether the tcUrl query carries the password the application asks for
// under `key` ("play_password", "publish_password"). A password that is not
// configured, or configured empty, asks for nothing; a given one must be
// equal byte for byte.
bool password_matches(const qen_app& app, const query_map& query, const std::string& key);

// Whether the application's max_concurrents (0 or absent: no limit) is
// passed by its clients, the asking one included.
bool exceeds_max_concurrents(const qen_app& app);

// Why a play is refused before its name is looked at (allow_play,
// max_concurrents, play_password, in that order); nothing when allowed.
std::optional<policy_refusal> play_refusal(const qen_app& app, const query_map& query);

// Why a publish is refused before its name is looked at (allow_publish,
// publish_password); nothing when allowed.
std::optional<policy_refusal> publish_refusal(const qen_app& app, const query_map& query);

// What a play name asks for: "name" or "format:name", each with an optional
// "?query" that is cut off. Without a format the file is "name.flv".
struct play_request {
    std::string bare_name;
    std::string format;
    std::string file_name;
};

// Nothing when the name asks for no file this application may open.
std::optional<play_request> parse_play_name(std::string_view name);

// The stream a publish name asks for (cut at its "?"), when it may become a
// file name and the application's only_publish_name allows it.
std::optional<std::string> publish_stream_name(const qen_app& app, std::string_view name);

}  // namespace qen
