#include "qen/stream_policy.hpp"

#include "foundation/file_name.hpp"

namespace qen {

bool password_matches(const qen_app& app, const query_map& query, const std::string& key) {
    const auto configured = app.get_optional<std::string>(key);
    if (!configured) {
        return true;
    }
    const auto given = query.find(key);
    if (given == query.end()) {
        return configured->empty();
    }
    return given->second == *configured;
}

bool exceeds_max_concurrents(const qen_app& app) {
    const long long limit = app.get<int>("max_concurrents", 0);
    return limit != 0 && static_cast<long long>(app.clients()->value()) > limit;
}

std::optional<policy_refusal> play_refusal(const qen_app& app, const query_map& query) {
    if (!app.get<bool>("allow_play", true)) {
        return policy_refusal{"NetStream.Play.NotAllow", "The stream is not allowed to play"};
    }
    if (exceeds_max_concurrents(app)) {
        return policy_refusal{"NetStream.Play.TooMany", "Too many concurrent connections"};
    }
    if (!password_matches(app, query, "play_password")) {
        return policy_refusal{"NetStream.Play.BadPassword", "The stream needs password to play"};
    }
    return std::nullopt;
}

std::optional<policy_refusal> publish_refusal(const qen_app& app, const query_map& query) {
    if (!app.get<bool>("allow_publish", true)) {
        return policy_refusal{"NetStream.Publish.NotAllow", "The stream is not allowed to publish"};
    }
    if (!password_matches(app, query, "publish_password")) {
        return policy_refusal{"NetStream.Publish.BadPassword",
                              "The stream needs password to publish"};
    }
    return std::nullopt;
}

std::optional<play_request> parse_play_name(std::string_view name) {
    name = name.substr(0, name.find('?'));
    if (name.empty()) {
        return std::nullopt;
    }
    play_request request;
    const auto colon = name.find(':');
    if (colon != std::string_view::npos) {
        request.format = std::string(name.substr(0, colon));
        name = name.substr(colon + 1);
        if (name.empty()) {
            return std::nullopt;
        }
    }
    request.bare_name = std::string(name);
    if (!is_valid_file_name(request.bare_name)) {
        return std::nullopt;
    }
    if (request.format.empty()) {
        request.format = "flv";
        request.file_name = request.bare_name + ".flv";
    } else {
        request.file_name = request.bare_name;
    }
    return request;
}

std::optional<std::string> publish_stream_name(const qen_app& app, std::string_view name) {
    std::string stream_name(name.substr(0, name.find('?')));
    if (stream_name.empty() || !is_valid_file_name(stream_name)) {
        return std::nullopt;
    }
    if (const auto only = app.get_optional<std::string>("only_publish_name");
        only && *only != stream_name) {
        return std::nullopt;
    }
    return stream_name;
}

}  // namespace qen
