#pragma once

#include <json/value.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/testing/test_support.hpp"

// Test fixtures of the upload client: a home folder of the test's own and
// the fake web site (fake_site.py) that speaks the site's upload API.
namespace lumo_upl_testing {

// HOME is a fresh folder while the object lives.
class scoped_home {
  public:
    scoped_home();
    ~scoped_home();
    scoped_home(const scoped_home&) = delete;
    scoped_home& operator=(const scoped_home&) = delete;

    const std::filesystem::path& path() const { return folder_.path(); }

  private:
    platform::testing::temp_dir folder_;
    std::optional<std::string> previous_;
};

struct recorded_file {
    std::string file_name;  // as the part header gave it
    std::int64_t size = 0;
    std::filesystem::path stored;  // the site's copy of the bytes
    std::string bytes() const;
};

struct recorded_request {
    std::string target;  // from the request line
    std::string action;
    int call = 0;                    // the how-manieth request of its action
    std::string violation;           // empty when the request had the right form
    std::vector<std::string> parts;  // part names in the order they came
    std::map<std::string, std::string> fields;
    std::map<std::string, recorded_file> files;
};

enum class site_checks {
    strict,   // the request form of our client, byte by byte
    lenient,  // any HTTP/1.x client's multipart form (curl's)
};

// The fake site on a free loopback port; stopped with the object.
class fake_site {
  public:
    explicit fake_site(std::string site_path = "/admin/index.php",
                       site_checks checks = site_checks::strict);
    ~fake_site();
    fake_site(const fake_site&) = delete;
    fake_site& operator=(const fake_site&) = delete;

    std::uint16_t port() const { return port_; }
    // The site's process, for what it costs.
    pid_t pid() const { return process_->pid(); }
    // The site address a client is launched with.
    const std::string& address() const { return address_; }
    // Where the site keeps what it was sent.
    const std::filesystem::path& storage() const { return storage_.path(); }

    // A launch code the site accepts; others get status 2.
    void add_token(const std::string& token);
    void set_free_size(const std::string& size);
    // The "categoryList" of getCategoryList, any JSON; leave_out_categories
    // drops the key.
    void set_categories(const Json::Value& list);
    void leave_out_categories();

    // Scripts the reply to one request instead of the site's own:
    //   "action", "call" (1 for the first of that action; absent: every call);
    //   "reply": a JSON object sent in place of the site's, or
    //   "body": raw text sent in place of any JSON;
    //   "status_line" (default "HTTP/1.0 200 OK"), "content_type",
    //   "content_length": false to leave the header out,
    //   "bom": true to put a UTF-8 byte order mark before the body,
    //   "close_after_bytes": N to cut the connection after N request bytes,
    //   "close_before_reply": true to cut it after the whole request,
    //   "cut_reply_after_bytes": N to cut it after N bytes of the reply,
    //   "delay_ms": N to wait before replying,
    //   "hold": true to record the request and answer it only after a
    //   release() (or a minute).
    // Without "reply" or "body" the site answers as it would.
    void script(const Json::Value& entry);
    // Lets `count` held requests (those held now or the next ones) go on.
    void release(int count = 1);

    std::vector<recorded_request> requests();
    // Requests whose form was wrong, and faults of the site itself.
    std::vector<std::string> violations();
    // The streams with their state, by name.
    Json::Value streams();

  private:
    Json::Value control(const Json::Value& order);

    platform::testing::temp_dir storage_;
    std::uint16_t port_ = 0;
    std::string address_;
    std::unique_ptr<platform::testing::child_process> process_;
};

}  // namespace lumo_upl_testing
