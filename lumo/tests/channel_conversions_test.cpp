#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/amf0.hpp"
#include "foundation/buffer.hpp"
#include "foundation/segment_index.hpp"
#include "foundation/tests/segment_test_support.hpp"
#include "lumo/tests/channel_test_support.hpp"
#include "platform/testing/hex.hpp"

namespace {

using namespace channel_testing;
using platform::testing::hex_bytes;

std::string error_of(bool ok, const std::string& error) {
    return ok ? "(succeeded)" : error;
}

segment_index load(const fs::path& file) {
    segment_index index;
    index.load(file);
    return index;
}

void set_start_time(const fs::path& file, std::optional<std::uint32_t> start) {
    segment_index index = load(file);
    index.has_start_time = start.has_value();
    index.start_time = start.value_or(0);
    index.save(file);
}

TEST(ChannelConversions, FakeLiveRewritesBothIndexes) {
    const struct {
        const char* what;
        std::optional<std::uint32_t> stored;
        bool enable;
        bool force;
        std::optional<std::uint32_t> expected;
    } cases[] = {
        {"enable, forced, none stored", std::nullopt, true, true, 1000},
        {"enable, forced, replaces", 5000, true, true, 1000},
        {"enable, not forced, keeps", 5000, true, false, 5000},
        {"enable, not forced, none stored", std::nullopt, true, false, 1000},
        {"disable clears", 5000, false, true, std::nullopt},
        {"disable, none stored", std::nullopt, false, false, std::nullopt},
    };
    channel_fixture f;
    int n = 0;
    for (const auto& c : cases) {
        const std::string name = "rec" + std::to_string(n++);
        const string_map info = f.create(0, name);
        const fs::path dir = info.at("localPath");
        record(dir, name);
        set_start_time(dir / (name + ".livesegments"), c.stored);
        ASSERT_TRUE(load(dir / (name + ".livesegments")).live);

        std::string error;
        ASSERT_TRUE(
            f.manager->enableFakeLiveForVod(info.at("virtualPath"), c.enable, 1000, c.force, error))
            << c.what << ": " << error;
        const segment_index live = load(dir / (name + ".livesegments"));
        const segment_index vod = load(dir / (name + ".zpksegments"));
        EXPECT_EQ(live.encode(), vod.encode()) << c.what;
        EXPECT_FALSE(live.live) << c.what;
        EXPECT_EQ(live.has_start_time, c.expected.has_value()) << c.what;
        if (c.expected) {
            EXPECT_EQ(live.start_time, *c.expected) << c.what;
        }
        EXPECT_FALSE(live.segments.empty()) << c.what;
    }
}

// The media server was killed while it wrote a channel's second segment:
// what it wrote of it counts, in the metadata at once and in the recording
// once the channel is stopped.
TEST(ChannelConversions, WhatAKilledRecordingWroteOfItsOpenSegmentCounts) {
    channel_fixture f;
    const string_map info = f.create(0, "abc");
    const fs::path dir = info.at("localPath");
    record(dir, "abc");
    const std::uint32_t closed = load(dir / "abc.livesegments").segments.at(0).data_bytes;
    const std::string whole = segment_testing::tag_bytes(9, 2040, hex_bytes("17 01 00 00 00")) +
                              segment_testing::tag_bytes(9, 2080, hex_bytes("27 01 00 00 00"));
    write_file(dir / "abc.segments/1.zpksegment0",
               std::string(segment_header::size, '\0') + whole +
                   segment_testing::tag_bytes(9, 2120, hex_bytes("27 01 00 00 00")).substr(0, 9));

    string_map metadata;
    std::string error;
    ASSERT_TRUE(f.manager->getChannelMetaData(info.at("virtualPath"), metadata, error)) << error;
    EXPECT_EQ(metadata.at("filesize"), std::to_string(closed + whole.size()));
    EXPECT_EQ(metadata.at("duration"), "2.0800000000000001");
    EXPECT_TRUE(fs::exists(dir / "abc.segments/1.zpksegment0")) << "looked at, not changed";

    ASSERT_TRUE(f.manager->stop_channel(info.at("virtualPath"), error)) << error;
    const segment_index stopped = load(dir / "abc.zpksegments");
    EXPECT_FALSE(stopped.live);
    ASSERT_EQ(stopped.segments.size(), 2u);
    EXPECT_EQ(stopped.segments[1].data_bytes, whole.size());
    EXPECT_EQ(stopped.duration_ms, 2080u);
    EXPECT_EQ(fs::file_size(dir / "abc.segments/1.zpksegment"),
              segment_header::size + whole.size());
    EXPECT_FALSE(fs::exists(dir / "abc.segments/1.zpksegment0"));
}

TEST(ChannelConversions, FakeLiveNeedsAnIndexItCanRead) {
    channel_fixture f;
    const std::string path = f.create(1, "abc").at("virtualPath");
    const fs::path dir = f.media / "vod/63/54/5/abc";
    std::string error;
    EXPECT_EQ(error_of(f.manager->enableFakeLiveForVod(path, true, 1, true, error), error),
              "CHANNEL_NO_CONTENT:Can't find zpk index file");

    // An ended recording has its vod index; that one is used.
    record(dir, "abc", true);
    fs::remove(dir / "abc.livesegments");
    ASSERT_TRUE(f.manager->enableFakeLiveForVod(path, true, 77, true, error)) << error;
    EXPECT_EQ(load(dir / "abc.livesegments").start_time, 77u);

    write_file(dir / "abc.livesegments", "\x02 not an index");
    const tree_snapshot before = snapshot(f.dir.path());
    EXPECT_EQ(error_of(f.manager->enableFakeLiveForVod(path, true, 1, true, error), error),
              "EXCEPTION:Exception occurs when enableFakeLiveForVod: Bad file version");
    EXPECT_EQ(changes_since(before, f.dir.path()), std::vector<std::string>{});
}

TEST(ChannelConversions, AStoppedLiveChannelMovesToTheVodFolder) {
    channel_fixture f;
    const std::string path = f.create(0, "abc", {{"play_password", "pw"}}).at("virtualPath");
    ASSERT_EQ(path, "/media/live/63/54/5/abc");
    const fs::path old_dir = f.media / "live/63/54/5/abc";
    const fs::path new_dir = f.media / "vod/63/54/5/abc";
    record(old_dir, "abc");
    std::string error;
    ASSERT_TRUE(f.manager->stop_channel(path, error)) << error;
    const std::string recording = read_file(old_dir / "abc.segments/0.zpksegment");

    string_map info;
    error.clear();
    ASSERT_TRUE(f.manager->convertLiveChannelToVod(path, info, error)) << error;
    EXPECT_EQ(error, "");
    EXPECT_EQ(info, (string_map{{"virtualPath", "/media/vod/63/54/5/abc"},
                                {"localPath", new_dir.string()},
                                {"streamName", "abc"},
                                {"type", "vod"},
                                {"virtualDir", "media"}}));

    // The old place is a shell that sends both servers on.
    std::vector<std::string> shell;
    for (const auto& entry : fs::directory_iterator(old_dir)) {
        shell.push_back(entry.path().filename().string());
    }
    std::sort(shell.begin(), shell.end());
    EXPECT_EQ(shell, (std::vector<std::string>{".flaccess", ".htaccess", "abc.stopped"}));
    EXPECT_EQ(read_file(old_dir / ".htaccess"),
              "RewriteEngine On\nRewriteRule (.+) ../../../../../../media/vod/63/54/5/abc/$1");
    EXPECT_EQ(read_file(old_dir / ".flaccess"),
              settings_xml("<finalized>1</finalized><only_publish_name>abc</only_publish_name>"
                           "<allow_publish>0</allow_publish><play_password>pw</play_password>"
                           "<allow_play>1</allow_play>"
                           "<app_redirection>/media/vod/63/54/5/abc</app_redirection>"));

    // The recording moved whole, no longer live, without a start time.
    EXPECT_EQ(read_file(new_dir / "abc.segments/0.zpksegment"), recording);
    for (const char* file : {"abc.livesegments", "abc.zpksegments"}) {
        const segment_index index = load(new_dir / file);
        EXPECT_FALSE(index.live) << file;
        EXPECT_FALSE(index.has_start_time) << file;
    }
    EXPECT_TRUE(fs::exists(new_dir / "abc.stopped"));
    // Its own access files come from its settings.
    EXPECT_NE(read_file(new_dir / ".htaccess").find("AuthUserFile \"" + new_dir.string()),
              std::string::npos);

    // A client of the old path reaches the recording, and cannot publish.
    std::string followed;
    const auto app = f.app_of_url(path, &followed);
    ASSERT_TRUE(app);
    EXPECT_EQ(followed, "/media/vod/63/54/5/abc");
    EXPECT_EQ(app->directory(), new_dir.string());
    EXPECT_FALSE(app->get<bool>("allow_publish", true));
    EXPECT_EQ(app->get<std::string>("play_password", ""), "pw");
    const auto old_app = f.app_at(path);
    ASSERT_TRUE(old_app);
    EXPECT_EQ(old_app->get<std::string>("app_redirection", ""), "/media/vod/63/54/5/abc");
    EXPECT_FALSE(old_app->get<bool>("allow_publish", true));
}

TEST(ChannelConversions, ConversionRefusalsChangeNothing) {
    channel_fixture f;
    f.create(1, "vodshow");
    f.create(0, "running");  // no marker: still live
    f.create(0, "test");
    std::string error;
    ASSERT_TRUE(f.manager->stop_channel("/media/live/55/22/40/test", error)) << error;
    f.create(0, "abc");
    record(f.media / "live/63/54/5/abc", "abc");
    ASSERT_TRUE(f.manager->stop_channel("/media/live/63/54/5/abc", error)) << error;
    fs::create_directories(f.media / "vod/63/54/5/abc");  // the target is taken
    // A file where the vod folder's hash level must go.
    const std::string blocked = f.create(0, "blocked").at("virtualPath");
    record(f.media / "live" / lumo::lumo_channel_manager::hashed_path("blocked") / "blocked",
           "blocked");
    ASSERT_TRUE(f.manager->stop_channel(blocked, error)) << error;
    const std::string levels = lumo::lumo_channel_manager::hashed_path("blocked");
    const fs::path in_the_way = f.media / "vod" / levels.substr(0, levels.rfind('/'));
    fs::create_directories(in_the_way.parent_path());
    write_file(in_the_way, "in the way");

    const struct {
        std::string path;
        std::string error;
    } cases[] = {
        {"/media/vod/" + lumo::lumo_channel_manager::hashed_path("vodshow") + "/vodshow",
         "CHANNEL_IS_NOT_LIVE:Channel is not live"},
        {"/media/live/" + lumo::lumo_channel_manager::hashed_path("running") + "/running",
         "CHANNEL_IS_NOT_STOPPED:The channel is not stopped"},
        {"/media/live/55/22/40/test", "CHANNEL_NO_CONTENT:Can't find zpk index file"},
        {"/media/live/63/54/5/abc", "CHANNEL_EXISTS:channel exists"},
        {"/media/live/63/54/5", "CHANNEL_NOT_EXISTS:Channel does not exist"},
        {blocked, "IO_ERROR:I/O error, can't create the vod folder"},
    };
    for (const auto& c : cases) {
        const tree_snapshot before = snapshot(f.dir.path());
        string_map info;
        EXPECT_EQ(error_of(f.manager->convertLiveChannelToVod(c.path, info, error), error), c.error)
            << c.path;
        EXPECT_TRUE(info.empty()) << c.path;
        EXPECT_EQ(changes_since(before, f.dir.path()), std::vector<std::string>{}) << c.path;
    }
}

// An "onMetaData" message with one property of each kind.
std::string metadata_message() {
    return hex_bytes(
        "02 00 0A 'onMetaData' 03"
        " 00 05 'width' 00 40 84 00 00 00 00 00 00"                      // 640
        " 00 06 'stereo' 01 01"                                          // true
        " 00 05 'muted' 01 00"                                           // false
        " 00 07 'encoder' 02 00 03 'lav'"                                // a string
        " 00 05 'empty' 02 00 00"                                        // skipped: no text
        " 00 04 'none' 05"                                               // skipped: null
        " 00 03 'obj' 03 00 01 'a' 00 3F F0 00 00 00 00 00 00 00 00 09"  // skipped
        " 00 08 'duration' 00 40 59 00 00 00 00 00 00"                   // 100, replaced
        " 00 00 09");
}

TEST(ChannelConversions, MetadataAsText) {
    channel_fixture f;
    const std::string path = f.create(1, "abc").at("virtualPath");
    const fs::path dir = f.media / "vod/63/54/5/abc";
    string_map metadata;
    std::string error;
    ASSERT_TRUE(f.manager->getChannelMetaData(path, metadata, error)) << error;
    EXPECT_EQ(metadata, (string_map{{"fileexists", "0"}}));

    segment_index index;
    index.name = "0123456789ABCDEF0123456789ABCDEF";
    index.metadata = metadata_message();
    index.duration_ms = 25000;
    index.segments = {{0, 1000000, 0}, {10000, 1500000, 0}, {20000, 500000, 0}};
    index.save(dir / "abc.zpksegments");
    ASSERT_TRUE(f.manager->getChannelMetaData(path, metadata, error)) << error;
    EXPECT_EQ(metadata, (string_map{{"fileexists", "1"},
                                    {"width", "640"},
                                    {"stereo", "1"},
                                    {"muted", "0"},
                                    {"encoder", "lav"},
                                    {"duration", "25"},
                                    {"uuid", "0123456789ABCDEF0123456789ABCDEF"},
                                    {"filesize", "3000000"},
                                    {"bitrate", "960"}}));

    // Most encoders send their properties as a mixed array.
    index.metadata = hex_bytes(
        "02 00 0A 'onMetaData' 08 00 00 00 03 00 05 'width' 00 40 84 00 00 00 00 00 00 00 06 "
        "'stereo' 01 01 00 07 'encoder' 02 00 03 'lav' 00 00 09");
    index.save(dir / "abc.zpksegments");
    ASSERT_TRUE(f.manager->getChannelMetaData(path, metadata, error)) << error;
    EXPECT_EQ(metadata, (string_map{{"fileexists", "1"},
                                    {"width", "640"},
                                    {"stereo", "1"},
                                    {"encoder", "lav"},
                                    {"duration", "25"},
                                    {"uuid", "0123456789ABCDEF0123456789ABCDEF"},
                                    {"filesize", "3000000"},
                                    {"bitrate", "960"}}));

    // The live index wins while there is one.
    index.duration_ms = 25040;
    index.metadata.clear();
    index.save(dir / "abc.livesegments");
    ASSERT_TRUE(f.manager->getChannelMetaData(path, metadata, error)) << error;
    EXPECT_EQ(metadata.at("duration"), "25.039999999999999");
    EXPECT_EQ(metadata.at("bitrate"), "958");
    EXPECT_EQ(metadata.count("width"), 0u);

    index.duration_ms = 0;
    index.save(dir / "abc.livesegments");
    ASSERT_TRUE(f.manager->getChannelMetaData(path, metadata, error)) << error;
    EXPECT_EQ(metadata.at("duration"), "0");
    EXPECT_EQ(metadata.at("bitrate"), "0");

    const struct {
        const char* what;
        std::string metadata;
    } not_a_message[] = {
        {"a number first", hex_bytes("00 40 84 00 00 00 00 00 00 03 00 00 09")},
        {"a string and no object", hex_bytes("02 00 01 'x' 02 00 01 'y'")},
    };
    for (const auto& c : not_a_message) {
        index.metadata = c.metadata;
        index.save(dir / "abc.livesegments");
        metadata = {{"stale", "1"}};
        EXPECT_EQ(error_of(f.manager->getChannelMetaData(path, metadata, error), error),
                  "EXCEPTION:Exception occurs when getChannelMetaData: AMF data type not equal")
            << c.what;
        EXPECT_EQ(metadata, (string_map{{"stale", "1"}})) << "no partial result";
    }

    EXPECT_EQ(
        error_of(f.manager->getChannelMetaData("/media/vod/1/2/3/none", metadata, error), error),
        "CHANNEL_NOT_EXISTS:Channel does not exist");
}

}  // namespace
