#include "lumo_upl/channel_uploader.hpp"

#include <json/reader.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "lumo_upl/decimal_text.hpp"
#include "qen/qen_url.hpp"
#include "vornebased/mhttp.hpp"

namespace lumo_upl {
namespace {

constexpr int reply_limit = 8192;
constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";

// A whole decimal number, as the site writes numbers into its JSON
// strings; anything else is "bad cast".
template <typename Integer>
Integer decimal(std::string_view text) {
    const std::optional<Integer> value = decimal_value<Integer>(text);
    if (!value) {
        throw std::runtime_error("bad cast");
    }
    return *value;
}

// A reply key that the site sends as a string of digits.
template <typename Integer>
Integer decimal_member(const Json::Value& reply, const char* key) {
    return decimal<Integer>(reply.get(key, "0").asString());
}

std::int32_t status_of(const Json::Value& status) {
    if (status.isInt()) {
        return status.asInt();
    }
    return decimal<std::int32_t>(status.asString());
}

bool parse_json(const std::string& text, Json::Value& root) {
    Json::CharReaderBuilder builder;
    builder["allowComments"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(text.data(), text.data() + text.size(), &root, &errors);
}

}  // namespace

std::optional<site_endpoint> site_endpoint_of(const std::string& site_address) {
    qen::url_parts parts;
    if (!qen::split_url(site_address, parts)) {
        return std::nullopt;
    }
    site_endpoint endpoint;
    endpoint.host = parts.host;
    if (parts.port != 0) {
        endpoint.port = static_cast<std::uint16_t>(parts.port);
    }
    return endpoint;
}

lumo_channel_uploader::lumo_channel_uploader(std::string site_address)
    : site_address_(std::move(site_address)) {}

lumo_channel_uploader::~lumo_channel_uploader() = default;

void lumo_channel_uploader::fail(const std::string& text) {
    status_ = status_local_failure;
    msg_ = text;
}

bool lumo_channel_uploader::call(const std::string& query, const text_fields& fields,
                                 const file_parts& files, Json::Value& reply) {
    status_ = 0;
    msg_.clear();
    try {
        const std::optional<site_endpoint> endpoint = site_endpoint_of(site_address_);
        if (!endpoint) {
            fail("Bad server address");
            return false;
        }
        VorneBased::CHttpForm form;
        text_fields sent = fields;
        sent["authToken"] = auth_token_;
        for (const auto& [name, value] : sent) {
            form.AddField(name, value);
        }
        for (const auto& [name, path] : files) {
            form.AddFile(name, path);
        }
        VorneBased::CTCPHttp client(endpoint->host, endpoint->port);
        std::string body = client.PostForm(site_address_ + "?" + query, form, reply_limit);
        if (body.empty()) {
            fail("Server return empty response");
            return false;
        }
        if (body.starts_with(byte_order_mark)) {
            body.erase(0, byte_order_mark.size());
        }
        Json::Value root;
        if (!parse_json(body, root)) {
            fail("Bad json format");
            return false;
        }
        if (!root.isObject() || !root.isMember("status")) {
            fail("Bad server response");
            return false;
        }
        status_ = status_of(root["status"]);
        msg_ = root.get("msg", "").asString();
        reply = std::move(root);
        return true;
    } catch (const std::exception& error) {
        fail(error.what());
        return false;
    }
}

std::optional<std::string> lumo_channel_uploader::size_of(const std::string& file) {
    status_ = 0;
    msg_.clear();
    try {
        return std::to_string(std::filesystem::file_size(file));
    } catch (const std::exception& error) {
        fail(error.what());
        return std::nullopt;
    }
}

template <typename Read>
void lumo_channel_uploader::read_reply(const Json::Value& reply, Read&& read) {
    try {
        read(reply);
    } catch (const std::exception& error) {
        fail(error.what());
    }
}

std::int64_t lumo_channel_uploader::get_free_size() {
    Json::Value reply;
    std::int64_t size = 0;
    if (call("c=api&a=getFreeSize", {}, {}, reply) && status_ == status_success) {
        read_reply(reply,
                   [&](const Json::Value& r) { size = decimal_member<std::int64_t>(r, "size"); });
    }
    return size;
}

std::string lumo_channel_uploader::create_upload(const std::string& stream_name,
                                                 std::int32_t count_block) {
    Json::Value reply;
    std::string registered;
    if (call("c=api&a=createUpload",
             {{"streamName", stream_name}, {"countBlock", std::to_string(count_block)}}, {},
             reply) &&
        status_ == status_success) {
        read_reply(reply,
                   [&](const Json::Value& r) { registered = r.get("streamName", "").asString(); });
    }
    return registered;
}

std::int32_t lumo_channel_uploader::upload_block(const std::string& stream_name,
                                                 std::int32_t current_block,
                                                 const std::string& block_file) {
    const std::optional<std::string> size = size_of(block_file);
    if (!size) {
        return 0;
    }
    Json::Value reply;
    std::int32_t expected = 0;
    if (call("c=api&a=uploadBlock",
             {{"streamName", stream_name},
              {"currentBlock", std::to_string(current_block)},
              {"blockSize", *size}},
             {{"uploadBlock", block_file}}, reply) &&
        status_ == status_block_expected) {
        read_reply(reply, [&](const Json::Value& r) {
            expected = decimal_member<std::int32_t>(r, "currentBlock");
        });
    }
    return expected;
}

void lumo_channel_uploader::cancel_upload(const std::string& stream_name) {
    Json::Value reply;
    call("c=api&a=cancelUpload", {{"streamName", stream_name}}, {}, reply);
}

std::int32_t lumo_channel_uploader::complete_upload(const std::string& stream_name,
                                                    const upload_description& description,
                                                    const std::string& index_file) {
    const std::optional<std::string> size = size_of(index_file);
    if (!size) {
        return 0;
    }
    const text_fields fields = {
        {"streamName", stream_name},
        {"title", description.title},
        {"cat", description.category},
        {"tag", description.labels},
        {"description", description.note},
        {"width", std::to_string(description.width)},
        {"height", std::to_string(description.height)},
        {"framerate", std::to_string(description.framerate)},
        {"duration", std::to_string(description.duration_ms)},
        {"videoBitrate", std::to_string(description.video_kbps)},
        {"audioBitrate", std::to_string(description.audio_kbps)},
        {"bitrate", std::to_string(description.total_bitrate)},
        {"indexFileSize", *size},
    };
    Json::Value reply;
    std::int32_t expected = 0;
    if (call("c=api&a=completeUpload", fields, {{"indexFile", index_file}}, reply) &&
        status_ == status_blocks_missing) {
        read_reply(reply, [&](const Json::Value& r) {
            expected = decimal_member<std::int32_t>(r, "currentBlock");
        });
    }
    return expected;
}

void lumo_channel_uploader::upload_thumbnail(const std::string& stream_name,
                                             std::int32_t image_number,
                                             const std::string& image_file) {
    Json::Value reply;
    call("c=api&a=uploadThumbnail",
         {{"streamName", stream_name}, {"imgNo", std::to_string(image_number)}},
         {{"fileImg", image_file}}, reply);
}

std::vector<std::string> lumo_channel_uploader::get_category_list() {
    Json::Value reply;
    std::vector<std::string> names;
    if (call("c=api&a=getCategoryList", {}, {}, reply) && status_ == status_success) {
        read_reply(reply, [&](const Json::Value& r) {
            const Json::Value& list = r["categoryList"];
            if (!list.isArray() || list.empty()) {
                throw std::runtime_error("Category list is empty");
            }
            std::vector<std::string> read;
            for (const Json::Value& name : list) {
                read.push_back(name.asString());
            }
            names = std::move(read);
        });
    }
    return names;
}

}  // namespace lumo_upl
