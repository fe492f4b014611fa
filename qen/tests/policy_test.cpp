// What the applications' settings let clients do, as a client sees it:
// each case writes .flaccess files and drives the real server.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "platform/testing/hex.hpp"
#include "platform/testing/media.hpp"
#include "platform/testing/test_support.hpp"
#include "qen/tests/qen_process.hpp"
#include "rtmp/tests/rtmp_test_support.hpp"

namespace {

using namespace std::chrono_literals;
using qen_test::qen_process;
using rtmp_test::rtmp_client;
namespace fs = std::filesystem;
namespace testing = platform::testing;

// An FLV file to play: its content does not matter to the policy.
const fs::path& playable() {
    static testing::temp_dir dir;
    static const fs::path file = [] {
        const fs::path made = dir / "clip.flv";
        if (!testing::make_sample_flv(made, 1).empty()) {
            throw std::runtime_error("ffmpeg could not make a sample");
        }
        return made;
    }();
    return file;
}

enum class action { play, publish };

struct policy_case {
    const char* what;
    std::string parent_settings;  // of the application "p<n>"
    std::string child_settings;   // of its child "p<n>/c"; empty: play in the parent
    std::string query;            // appended to the tcUrl
    action act;
    std::string name;
    const char* expected;  // the status code the client gets
};

std::string setting(const std::string& key, const std::string& value,
                    std::optional<bool> allow_override = std::nullopt) {
    std::string inner = value;
    if (allow_override) {
        inner += std::string("<allow_override>") + (*allow_override ? "true" : "false") +
                 "</allow_override>";
    }
    return "<" + key + ">" + inner + "</" + key + ">";
}

TEST(Policy, SettingsDecideWhatClientsMayDo) {
    if (!testing::have_program("ffmpeg")) {
        GTEST_SKIP() << "ffmpeg is missing";
    }
    const policy_case cases[] = {
        {"play allowed by default", "", "", "", action::play, "clip", "NetStream.Play.Start"},
        {"publish allowed by default", "", "", "", action::publish, "cam",
         "NetStream.Publish.Start"},
        {"allow_play false", setting("allow_play", "false"), "", "", action::play, "clip",
         "NetStream.Play.NotAllow"},
        {"allow_publish false", setting("allow_publish", "false"), "", "", action::publish, "cam",
         "NetStream.Publish.NotAllow"},
        {"play password missing", setting("play_password", "s3cret"), "", "", action::play, "clip",
         "NetStream.Play.BadPassword"},
        {"play password wrong", setting("play_password", "s3cret"), "", "?play_password=guess",
         action::play, "clip", "NetStream.Play.BadPassword"},
        {"play password given", setting("play_password", "s3cret"), "", "?play_password=s3cret",
         action::play, "clip", "NetStream.Play.Start"},
        {"empty play password", setting("play_password", ""), "", "", action::play, "clip",
         "NetStream.Play.Start"},
        {"a play password with separators, encoded", setting("play_password", "a&amp;b=c"), "",
         "?x=1&play_password=a%26b%3Dc", action::play, "clip", "NetStream.Play.Start"},
        {"a publish password with separators, encoded", setting("publish_password", "k=v&amp;"), "",
         "?publish_password=k%3dv%26", action::publish, "cam", "NetStream.Publish.Start"},
        {"a password in the play name does not count", setting("play_password", "s3cret"), "", "",
         action::play, "clip?play_password=s3cret", "NetStream.Play.BadPassword"},
        {"publish password missing", setting("publish_password", "pw"), "", "", action::publish,
         "cam", "NetStream.Publish.BadPassword"},
        {"publish password given", setting("publish_password", "pw"), "", "?publish_password=pw",
         action::publish, "cam", "NetStream.Publish.Start"},
        {"only_publish_name other", setting("only_publish_name", "cam"), "", "", action::publish,
         "other", "NetStream.Publish.BadName"},
        {"only_publish_name itself", setting("only_publish_name", "cam"), "", "", action::publish,
         "cam?x=1", "NetStream.Publish.Start"},
        {"publish_format none", setting("publish_format", "none"), "", "", action::publish, "cam",
         "NetStream.Publish.Start"},
        {"publish_format of another kind", setting("publish_format", "mp4"), "", "",
         action::publish, "cam", "NetStream.Publish.Start"},
        {"inherited refusal", setting("allow_publish", "false"), "<dummy/>", "", action::publish,
         "cam", "NetStream.Publish.NotAllow"},
        {"the child overrides", setting("allow_publish", "false"), setting("allow_publish", "true"),
         "", action::publish, "cam", "NetStream.Publish.Start"},
        {"override forbidden", setting("allow_publish", "false", false),
         setting("allow_publish", "true"), "", action::publish, "cam",
         "NetStream.Publish.NotAllow"},
        {"override allowed", setting("allow_publish", "false", true),
         setting("allow_publish", "true"), "", action::publish, "cam", "NetStream.Publish.Start"},
        {"a play of nothing", "", "", "", action::play, "nothing", "NetStream.Play.StreamNotFound"},
        {"an unknown format", "", "", "", action::play, "mp3:clip.flv",
         "NetStream.Play.StreamNotFound"},
    };
    qen_process qen;
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string parent = "p" + std::to_string(n++);
        std::string path = parent;
        const fs::path parent_dir = qen.app(parent);
        fs::path dir = parent_dir;
        if (!c.parent_settings.empty()) {
            qen_process::write_settings(parent_dir, c.parent_settings);
        }
        if (!c.child_settings.empty()) {
            path += "/c";
            dir = qen.app(path);
            qen_process::write_settings(dir, c.child_settings);
        }
        fs::copy_file(playable(), dir / "clip.flv");

        rtmp_client client(qen.port());
        ASSERT_TRUE(client.connect_url(qen.url(path) + c.query));
        const std::uint32_t id = client.create_stream();
        if (c.act == action::play) {
            client.play(id, c.name);
        } else {
            client.publish(id, c.name);
        }
        EXPECT_TRUE(client.wait_for_status(c.expected));
    }
    EXPECT_EQ(qen.stop(), 0);
}

// The onStatus messages a client received from its `from`th message on, in
// order, as "level code".
std::vector<std::string> statuses_of(rtmp_client& client, std::size_t from) {
    static const std::regex status_pattern("^'onStatus'.*level:'([^']*)'.*code:'([^']*)'");
    std::vector<std::string> statuses;
    for (const auto& m : std::vector(client.received().begin() + static_cast<long>(from),
                                     client.received().end())) {
        std::smatch match;
        const std::string text = m.type == 20 ? rtmp_test::describe_amf0(m.body) : std::string();
        if (std::regex_search(text, match, status_pattern)) {
            statuses.push_back(match[1].str() + " " + match[2].str());
        }
    }
    return statuses;
}

TEST(Policy, RefusedClientsAreToldWhyThenGetTheErrorThatEndsTheirWait) {
    if (!testing::have_program("ffmpeg")) {
        GTEST_SKIP() << "ffmpeg is missing";
    }
    const std::string publish_error = "Publish failed, bad name";
    const std::string play_error = "Play stream error";
    const struct {
        const char* what;
        std::string settings;
        std::string query;
        action act;
        std::string name;
        std::vector<std::string> statuses;  // what the client sees, in order
    } cases[] = {
        {"allow_publish false",
         setting("allow_publish", "false"),
         "",
         action::publish,
         "cam",
         {"status NetStream.Publish.NotAllow", "error NetStream.Publish.BadName"}},
        {"publish password wrong",
         setting("publish_password", "pw"),
         "?publish_password=guess",
         action::publish,
         "cam",
         {"status NetStream.Publish.BadPassword", "error NetStream.Publish.BadName"}},
        {"publish password missing",
         setting("publish_password", "pw"),
         "",
         action::publish,
         "cam",
         {"status NetStream.Publish.BadPassword", "error NetStream.Publish.BadName"}},
        {"only_publish_name",
         setting("only_publish_name", "cam"),
         "",
         action::publish,
         "other",
         {"error NetStream.Publish.BadName"}},
        {"allow_play false",
         setting("allow_play", "false"),
         "",
         action::play,
         "clip",
         {"status NetStream.Play.NotAllow", "error NetStream.Play.StreamNotFound"}},
        {"play password wrong",
         setting("play_password", "pw"),
         "?play_password=guess",
         action::play,
         "clip",
         {"status NetStream.Play.BadPassword", "error NetStream.Play.StreamNotFound"}},
        {"max_concurrents",
         setting("max_concurrents", "1"),
         "",
         action::play,
         "clip",
         {"status NetStream.Play.TooMany", "error NetStream.Play.StreamNotFound"}},
    };
    qen_process qen;
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string app = "r" + std::to_string(n++);
        const fs::path dir = qen.app(app);
        qen_process::write_settings(dir, c.settings);
        fs::copy_file(playable(), dir / "clip.flv");
        // Takes the one place max_concurrents leaves.
        rtmp_client holder(qen.port());
        ASSERT_TRUE(holder.connect_url(qen.url(app)));

        const std::string tc_url = qen.url(app) + c.query;
        rtmp_client client(qen.port());
        ASSERT_TRUE(client.connect_url(tc_url));
        const std::uint32_t id = client.create_stream();
        const std::size_t before = client.received().size();
        if (c.act == action::play) {
            client.play(id, c.name);
        } else {
            client.publish(id, c.name);
        }
        const std::string& last = c.statuses.back();
        ASSERT_TRUE(client.wait_for_status(last.substr(last.find(' ') + 1)));
        client.receive_for(100ms);
        EXPECT_EQ(statuses_of(client, before), c.statuses);

        std::vector<std::string> command{"ffmpeg", "-hide_banner", "-loglevel", "warning"};
        const std::vector<std::string> url_options{"-rtmp_tcurl", tc_url,           "-rtmp_app",
                                                   app,           "-rtmp_playpath", c.name};
        if (c.act == action::play) {
            command.insert(command.end(), url_options.begin(), url_options.end());
            command.insert(command.end(), {"-i", qen.url(app + "/" + c.name), "-f", "null", "-"});
        } else {
            command.insert(command.end(),
                           {"-re", "-i", playable().string(), "-c", "copy", "-f", "flv"});
            command.insert(command.end(), url_options.begin(), url_options.end());
            command.push_back(qen.url(app + "/" + c.name));
        }
        const auto began = std::chrono::steady_clock::now();
        const auto ffmpeg = testing::run(command, 30s);
        const auto took = std::chrono::steady_clock::now() - began;
        EXPECT_NE(ffmpeg.exit_code, 0);
        EXPECT_NE(ffmpeg.exit_code, -1) << "still waiting after 30 s";
        EXPECT_LT(took, 3s);
        EXPECT_NE(ffmpeg.err.find("Server error: " +
                                  (c.act == action::play ? play_error : publish_error)),
                  std::string::npos)
            << ffmpeg.err;
    }
    EXPECT_EQ(qen.stop(), 0);
}

TEST(Policy, PublishFormatsDecideWhatIsWritten) {
    qen_process qen;
    const struct {
        const char* format;
        bool locked;
        bool recorded;
    } cases[] = {{"zpk", true, true}, {"none", false, false}, {"mp4", true, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        const fs::path dir = qen.app(std::string("f_") + c.format);
        qen_process::write_settings(dir, setting("publish_format", c.format));
        {
            rtmp_client client(qen.port());
            ASSERT_TRUE(client.connect_url(qen.url(dir.filename().string())));
            const std::uint32_t id = client.create_stream();
            client.publish(id, "cam");
            ASSERT_TRUE(client.wait_for_status("NetStream.Publish.Start"));
            client.send(9, id, 0, testing::hex_bytes("17 00 00 00 00 01 64 00 1F FF E1"));
            client.send(9, id, 0, testing::hex_bytes("17 01 00 00 00 65 88 84"));
            client.receive_for(200ms);
        }
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(fs::exists(dir / "cam.locked"), c.locked);
        EXPECT_EQ(fs::exists(dir / "cam.livesegments"), c.recorded);
    }
    EXPECT_EQ(qen.stop(), 0);
}

TEST(Policy, MaxConcurrentsCountsTheApplicationsHolders) {
    qen_process qen;
    const fs::path dir = qen.app("limited");
    qen_process::write_settings(dir, setting("max_concurrents", "2"));

    rtmp_client first(qen.port());
    ASSERT_TRUE(first.connect_url(qen.url("limited")));
    rtmp_client second(qen.port());
    ASSERT_TRUE(second.connect_url(qen.url("limited")));
    const std::uint32_t id = second.create_stream();
    second.play(id, "nothing");
    EXPECT_TRUE(second.wait_for_status("NetStream.Play.StreamNotFound"))
        << "one other holder is within the limit";

    rtmp_client third(qen.port());
    ASSERT_TRUE(third.connect_url(qen.url("limited")));
    third.play(third.create_stream(), "nothing");
    EXPECT_TRUE(third.wait_for_status("NetStream.Play.TooMany"));
    EXPECT_EQ(qen.stop(), 0);
}

// Plays a name that does not exist: the status tells whether the play got
// past the application's checks.
bool play_is_refused_as_too_many(const qen_process& qen, const std::string& app) {
    rtmp_client client(qen.port());
    if (!client.connect_url(qen.url(app))) {
        return false;
    }
    client.play(client.create_stream(), "nothing");
    const auto status = client.wait_for([](const rtmp_test::message& m) {
        const std::string text = m.type == 20 ? rtmp_test::describe_amf0(m.body) : "";
        return text.find("NetStream.Play.TooMany") != std::string::npos ||
               text.find("NetStream.Play.StreamNotFound") != std::string::npos;
    });
    return status && rtmp_test::describe_amf0(status->body).find("NetStream.Play.TooMany") !=
                         std::string::npos;
}

TEST(Policy, MaxConcurrentsHoldsAcrossASettingsChange) {
    qen_process qen;
    const fs::path dir = qen.app("limited");
    qen_process::write_settings(dir, setting("max_concurrents", "1"));

    std::optional<rtmp_client> first(std::in_place, qen.port());
    ASSERT_TRUE(first->connect_url(qen.url("limited")));
    ASSERT_TRUE(play_is_refused_as_too_many(qen, "limited"));

    // As the channel manager changes a channel: its settings file is
    // rewritten, and the server reads it again within a second or two.
    qen_process::write_settings(dir,
                                setting("max_concurrents", "1") + setting("allow_publish", "0"));
    for (int second = 0; second < 3; ++second) {
        std::this_thread::sleep_for(1100ms);
        EXPECT_TRUE(play_is_refused_as_too_many(qen, "limited")) << "after " << second + 1 << " s";
    }

    // The place is free again once the client of the old settings has gone.
    first.reset();
    EXPECT_TRUE(
        testing::eventually([&] { return !play_is_refused_as_too_many(qen, "limited"); }, 10s));
    EXPECT_EQ(qen.stop(), 0);
}

TEST(Policy, ApplicationsThatCannotBeReached) {
    qen_process qen({.domain_extra = "<virtual_dirs><virtual_dir><name>Vod</name>"
                                     "<path>$ROOT/vod</path></virtual_dir></virtual_dirs>"});
    fs::create_directories(qen.root() / "vod/season1");
    const fs::path locked = qen.app("locked");
    qen_process::write_settings(locked, setting("finalized", "true"));
    qen.app("locked/inner");
    const fs::path hop = qen.app("hop");
    qen_process::write_settings(hop, setting("app_redirection", "/vodless"));
    const fs::path loop = qen.app("loop");
    qen_process::write_settings(loop, setting("app_redirection", "/loop"));
    const fs::path moved = qen.app("moved");
    qen_process::write_settings(moved, setting("app_redirection", "/Vod/season1"));

    const struct {
        std::string path;
        bool accepted;
    } cases[] = {
        {"locked", true}, {"locked/inner", false}, {"missing", false},
        {"hop", false},   {"loop", false},         {"moved", true},
        {"Vod", true},    {"Vod/season1", true},   {"vod", false},
    };
    for (const auto& c : cases) {
        rtmp_client client(qen.port());
        EXPECT_EQ(client.connect_url(qen.url(c.path)), c.accepted) << c.path;
    }

    // A redirected publish lands in the target's directory.
    rtmp_client client(qen.port());
    ASSERT_TRUE(client.connect_url(qen.url("moved")));
    client.publish(client.create_stream(), "cam");
    ASSERT_TRUE(client.wait_for_status("NetStream.Publish.Start"));
    EXPECT_TRUE(fs::exists(qen.root() / "vod/season1/cam.locked"));
    EXPECT_EQ(qen.stop(), 0);
}

// Every file under the folder.
std::set<fs::path> files_under(const fs::path& dir) {
    std::set<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        files.insert(entry.path());
    }
    return files;
}

TEST(Policy, HostilePathsAndNamesReachNoFile) {
    qen_process qen;
    qen.app("live");
    const auto before = files_under(qen.root());
    const std::string marker = "qen_hostile_" + std::to_string(::getpid());

    for (const std::string path : {"..", "live/..", "live/../..", "%2e%2e", "%2E%2e/%2e%2e/tmp",
                                   "live%00", "live%5c..", "live%2f..%2f..", "live/%2e", "."}) {
        rtmp_client client(qen.port());
        EXPECT_FALSE(client.connect_url(qen.url(path))) << path;
    }

    const std::string names[] = {
        "../" + marker, "../../" + marker,     "a/b", "..\\" + marker, "a:b", ".",
        "..",           std::string("a\0b", 3)};
    for (const auto& name : names) {
        rtmp_client client(qen.port());
        ASSERT_TRUE(client.connect_url(qen.url("live")));
        client.publish(client.create_stream(), name);
        EXPECT_TRUE(client.wait_for_status("NetStream.Publish.BadName")) << name;
    }
    const std::string play_names[] = {"../" + marker,     "flv:../../" + marker + ".flv",
                                      "zpk:../" + marker, "zpk:/etc/passwd",
                                      "flv:..",           "x\\..\\.."};
    for (const auto& name : play_names) {
        rtmp_client client(qen.port());
        ASSERT_TRUE(client.connect_url(qen.url("live")));
        client.play(client.create_stream(), name);
        EXPECT_TRUE(client.wait_for_status("NetStream.Play.StreamNotFound")) << name;
    }

    EXPECT_EQ(files_under(qen.root()), before) << "no file was made";
    for (fs::path up = qen.root(); up.has_relative_path(); up = up.parent_path()) {
        for (const char* suffix : {"", ".locked", ".livesegments", ".segments"}) {
            EXPECT_FALSE(fs::exists(up / (marker + suffix))) << up;
        }
    }
    EXPECT_EQ(qen.stop(), 0);
}

}  // namespace
