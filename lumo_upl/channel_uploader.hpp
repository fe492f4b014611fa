#pragma once

#include <json/value.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

// The client's side of the web site's HTTP API: each action is one HTTP/1.0
// multipart POST to the site address followed by "?c=api&a=" and the
// action's name, answered by a JSON object with "status" and "msg".
namespace lumo_upl {

// Where requests to a site address go.
struct site_endpoint {
    std::string host;
    std::uint16_t port = 80;
};

// The host and port of `site_address`, port 80 when it names none; nothing
// when it is no URL.
std::optional<site_endpoint> site_endpoint_of(const std::string& site_address);

// What completeUpload tells the site about a finished recording.
struct upload_description {
    std::string title;
    std::string category;
    std::string labels;
    std::string note;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t framerate = 0;
    std::int32_t duration_ms = 0;
    std::int32_t video_kbps = 0;
    std::int32_t audio_kbps = 0;
    std::int32_t total_bitrate = 0;
};

// One object per thread that talks to the site. After each action status()
// holds the site's status (1 success, 2 authentication refused, 3 no such
// stream, 4 and 7 another block expected, 9 stream complete, others the
// site's errors) or 100 for a local failure, and msg() the site's message
// or the local failure's text. No action throws or retries.
class lumo_channel_uploader {
  public:
    // The site's statuses, and the client's own for a local failure.
    static constexpr std::int32_t status_success = 1;
    static constexpr std::int32_t status_auth_refused = 2;
    static constexpr std::int32_t status_no_stream = 3;
    static constexpr std::int32_t status_blocks_missing = 4;  // completeUpload
    static constexpr std::int32_t status_block_expected = 7;  // uploadBlock
    static constexpr std::int32_t status_complete = 9;
    static constexpr std::int32_t status_local_failure = 100;

    explicit lumo_channel_uploader(std::string site_address);
    virtual ~lumo_channel_uploader();

    // The launch code, sent as the authToken of every request.
    void set_auth_token(std::string code) { auth_token_ = std::move(code); }
    const std::string& auth_token() const { return auth_token_; }
    const std::string& site_address() const { return site_address_; }

    std::int32_t status() const { return status_; }
    const std::string& msg() const { return msg_; }

    using text_fields = std::map<std::string, std::string>;
    using file_parts = std::map<std::string, std::string>;  // part name to file path

    // One request: `query` is the text after '?'. True when the reply was a
    // JSON object with a "status"; `reply` then holds it. status() and
    // msg() are set either way.
    bool call(const std::string& query, const text_fields& fields, const file_parts& files,
              Json::Value& reply);

    // Free bytes on the site's storage; 0 on any failure.
    std::int64_t get_free_size();
    // The name the site registered the upload under; empty on failure.
    std::string create_upload(const std::string& stream_name, std::int32_t count_block);
    // With status 7, the block the site expects; otherwise 0.
    std::int32_t upload_block(const std::string& stream_name, std::int32_t current_block,
                              const std::string& block_file);
    void cancel_upload(const std::string& stream_name);
    // With status 4, the block the site expects; otherwise 0.
    std::int32_t complete_upload(const std::string& stream_name,
                                 const upload_description& description,
                                 const std::string& index_file);
    void upload_thumbnail(const std::string& stream_name, std::int32_t image_number,
                          const std::string& image_file);
    // The category names in the site's order; empty on failure.
    std::vector<std::string> get_category_list();

  private:
    // Runs `read` on a successful reply; whatever it throws is a local
    // failure.
    template <typename Read>
    void read_reply(const Json::Value& reply, Read&& read);
    void fail(const std::string& text);
    // The size of a file that a request sends, as decimal text; nothing,
    // as a local failure, when it cannot be had.
    std::optional<std::string> size_of(const std::string& file);

    std::string site_address_;
    std::string auth_token_;
    std::int32_t status_ = 0;
    std::string msg_;
};

}  // namespace lumo_upl
