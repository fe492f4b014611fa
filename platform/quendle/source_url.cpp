#include "platform/quendle/source_url.hpp"

namespace Quendle {

source_request parse_source_url(std::string_view url) {
    const auto question = url.rfind('?');
    if (question == std::string_view::npos) {
        return {std::string(url)};
    }
    source_request request{std::string(url.substr(0, question))};
    std::string_view options = url.substr(question + 1);
    while (!options.empty()) {
        if (options.front() != '&') {
            return {std::string(url)};
        }
        options.remove_prefix(1);
        const auto end = options.find('&');
        const std::string_view option = options.substr(0, end);
        if (option == "vstreamid=-1") {
            request.video = false;
        } else if (option == "astreamid=-1") {
            request.audio = false;
        } else {
            return {std::string(url)};
        }
        options.remove_prefix(end == std::string_view::npos ? options.size() : end);
    }
    return request;
}

}  // namespace Quendle
