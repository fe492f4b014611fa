#include "qen/stream_policy.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "platform/testing/test_support.hpp"

namespace {

using platform::testing::temp_dir;
using platform::testing::write_file;
using qen::query_map;
namespace fs = std::filesystem;

// An application of its own folder with these settings and this many
// clients connected to it (the asking one among them).
struct application {
    temp_dir dir;
    std::shared_ptr<const qen::qen_app> app;
    std::vector<qen::client_hold> clients;

    application(const std::string& settings, int client_count) {
        if (!settings.empty()) {
            write_file(dir / ".flaccess", "<?xml version=\"1.0\"?><config><qen_app>" + settings +
                                              "</qen_app></config>");
        }
        app = std::make_shared<const qen::qen_app>(nullptr, dir.path().string(), "host");
        for (int i = 0; i < client_count; ++i) {
            clients.emplace_back(app->clients());
        }
    }
};

TEST(StreamPolicy, PlayAndPublishChecksInTheirOrder) {
    enum class action { play, publish };
    const struct {
        const char* what;
        std::string settings;
        query_map query;
        int clients;
        action act;
        const char* refused;  // the status code; empty: allowed
    } cases[] = {
        {"nothing set", "", {}, 1, action::play, ""},
        {"nothing set", "", {}, 1, action::publish, ""},
        {"allow_play false",
         "<allow_play>false</allow_play>",
         {},
         1,
         action::play,
         "NetStream.Play.NotAllow"},
        {"allow_play false comes first",
         "<allow_play>0</allow_play><max_concurrents>1</max_concurrents>"
         "<play_password>pw</play_password>",
         {},
         5,
         action::play,
         "NetStream.Play.NotAllow"},
        {"allow_play false does not stop a publish",
         "<allow_play>false</allow_play>",
         {},
         1,
         action::publish,
         ""},
        {"within max_concurrents", "<max_concurrents>2</max_concurrents>", {}, 2, action::play, ""},
        {"past max_concurrents",
         "<max_concurrents>2</max_concurrents>",
         {},
         3,
         action::play,
         "NetStream.Play.TooMany"},
        {"max_concurrents before the password",
         "<max_concurrents>1</max_concurrents><play_password>pw</play_password>",
         {},
         2,
         action::play,
         "NetStream.Play.TooMany"},
        {"max_concurrents does not limit publishers",
         "<max_concurrents>1</max_concurrents>",
         {},
         3,
         action::publish,
         ""},
        {"play password missing",
         "<play_password>pw</play_password>",
         {},
         1,
         action::play,
         "NetStream.Play.BadPassword"},
        {"play password wrong",
         "<play_password>pw</play_password>",
         {{"play_password", "PW"}},
         1,
         action::play,
         "NetStream.Play.BadPassword"},
        {"play password given",
         "<play_password>pw</play_password>",
         {{"play_password", "pw"}},
         1,
         action::play,
         ""},
        {"the publish password does not open a play",
         "<play_password>pw</play_password>",
         {{"publish_password", "pw"}},
         1,
         action::play,
         "NetStream.Play.BadPassword"},
        {"empty play password, none given",
         "<play_password></play_password>",
         {},
         1,
         action::play,
         ""},
        {"empty play password, one given",
         "<play_password></play_password>",
         {{"play_password", "x"}},
         1,
         action::play,
         "NetStream.Play.BadPassword"},
        {"password with separators",
         "<play_password>a&amp;b=c</play_password>",
         {{"play_password", "a&b=c"}},
         1,
         action::play,
         ""},
        {"allow_publish false",
         "<allow_publish>false</allow_publish>",
         {},
         1,
         action::publish,
         "NetStream.Publish.NotAllow"},
        {"allow_publish false before the password",
         "<allow_publish>false</allow_publish><publish_password>pw</publish_password>",
         {{"publish_password", "pw"}},
         1,
         action::publish,
         "NetStream.Publish.NotAllow"},
        {"publish password wrong",
         "<publish_password>pw</publish_password>",
         {{"publish_password", "p"}},
         1,
         action::publish,
         "NetStream.Publish.BadPassword"},
        {"publish password given",
         "<publish_password>pw</publish_password>",
         {{"publish_password", "pw"}},
         1,
         action::publish,
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const application a(c.settings, c.clients);
        const auto refusal = c.act == action::play ? qen::play_refusal(*a.app, c.query)
                                                   : qen::publish_refusal(*a.app, c.query);
        EXPECT_EQ(refusal ? std::string(refusal->code) : std::string(), c.refused);
    }
}

TEST(StreamPolicy, PlayNamesAndTheFilesTheyMean) {
    const struct {
        const char* name;
        bool valid;
        const char *bare_name, *format, *file_name;
    } cases[] = {
        {"clip", true, "clip", "flv", "clip.flv"},
        {"clip?play_password=x", true, "clip", "flv", "clip.flv"},
        {"flv:clip.flv", true, "clip.flv", "flv", "clip.flv"},
        {"zpk:cam.livesegments", true, "cam.livesegments", "zpk", "cam.livesegments"},
        {"mp3:song", true, "song", "mp3", "song"},
        {":clip", true, "clip", "flv", "clip.flv"},
        {"", false},
        {"?x=1", false},
        {"zpk:", false},
        {"zpk:a:b", false},
        {"../clip", false},
        {"flv:../../etc/passwd", false},
        {"a/b", false},
        {"..", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto request = qen::parse_play_name(c.name);
        ASSERT_EQ(request.has_value(), c.valid);
        if (request) {
            EXPECT_EQ(request->bare_name, c.bare_name);
            EXPECT_EQ(request->format, c.format);
            EXPECT_EQ(request->file_name, c.file_name);
        }
    }
}

TEST(StreamPolicy, PublishNames) {
    const application any("", 1);
    const application only_cam("<only_publish_name>cam</only_publish_name>", 1);
    const struct {
        const application& app;
        const char* name;
        const char* stream;  // empty: refused
    } cases[] = {
        {any, "cam", "cam"},
        {any, "cam?publish_password=x", "cam"},
        {any, "", ""},
        {any, "?x", ""},
        {any, "a/b", ""},
        {any, "..", ""},
        {any, "a:b", ""},
        {only_cam, "cam", "cam"},
        {only_cam, "cam?x=1", "cam"},
        {only_cam, "other", ""},
        {only_cam, "Cam", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(qen::publish_stream_name(*c.app.app, c.name).value_or(""), c.stream);
    }
}

}  // namespace
