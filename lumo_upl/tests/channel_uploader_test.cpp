#include "lumo_upl/channel_uploader.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "lumo_upl/launch_code.hpp"
#include "lumo_upl/tests/fake_site.hpp"
#include "platform/testing/test_support.hpp"

namespace {

using namespace lumo_upl;
using lumo_upl_testing::fake_site;
using lumo_upl_testing::recorded_request;
using lumo_upl_testing::scoped_home;
using platform::testing::read_file;
using platform::testing::temp_dir;
using platform::testing::write_file;
using ::testing::AnyOf;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Bytes in which a piece lost, doubled or moved shows.
std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(i * 7 + i / 251);
    }
    return bytes;
}

Json::Value scripted(const char* action, int call) {
    Json::Value entry;
    entry["action"] = action;
    entry["call"] = call;
    return entry;
}

class ChannelUploader : public ::testing::Test {
  protected:
    void SetUp() override {
        site_.add_token(code_);
        uploader_.set_auth_token(code_);
    }

    std::string file(const std::string& name, const std::string& bytes) {
        write_file(files_ / name, bytes);
        return (files_ / name).string();
    }

    scoped_home home_;
    temp_dir files_;
    fake_site site_;
    const std::string code_ = encode_launch_code("0123456789abcdef", "secret");
    lumo_channel_uploader uploader_{site_.address()};
};

TEST_F(ChannelUploader, EachActionPostsTheFieldsAndFilesOfItsTable) {
    const std::string block = file("0.zpksegment", pattern(1000));
    const std::string index = file("T1.zpksegments", pattern(300));
    const std::string image = file("thumbnail_c1.jpg", pattern(50));
    upload_description description;
    description.title = "t";

    uploader_.get_free_size();
    uploader_.get_category_list();
    const std::string name = uploader_.create_upload("", 1);
    ASSERT_EQ(uploader_.status(), 1) << uploader_.msg();
    uploader_.upload_block(name, 0, block);
    uploader_.upload_thumbnail(name, 1, image);
    uploader_.complete_upload(name, description, index);
    EXPECT_EQ(uploader_.status(), 1) << uploader_.msg();
    uploader_.cancel_upload(uploader_.create_upload("", 1));
    EXPECT_EQ(uploader_.status(), 1) << uploader_.msg();

    struct expected_request {
        std::string action;
        std::vector<std::string> parts;  // in the order they must come
        std::string file_name;
    };
    const std::vector<expected_request> expected = {
        {"getFreeSize", {"authToken"}, ""},
        {"getCategoryList", {"authToken"}, ""},
        {"createUpload", {"authToken", "countBlock", "streamName"}, ""},
        {"uploadBlock",
         {"authToken", "blockSize", "currentBlock", "streamName", "uploadBlock"},
         "0.zpksegment"},
        {"uploadThumbnail", {"authToken", "fileImg", "imgNo", "streamName"}, "thumbnail_c1.jpg"},
        {"completeUpload",
         {"audioBitrate", "authToken", "bitrate", "cat", "description", "duration", "framerate",
          "height", "indexFile", "indexFileSize", "streamName", "tag", "title", "videoBitrate",
          "width"},
         "T1.zpksegments"},
        {"createUpload", {"authToken", "countBlock", "streamName"}, ""},
        {"cancelUpload", {"authToken", "streamName"}, ""},
    };
    const std::vector<recorded_request> requests = site_.requests();
    ASSERT_EQ(requests.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].action);
        EXPECT_EQ(requests[i].violation, "");
        EXPECT_EQ(requests[i].target, site_.address() + "?c=api&a=" + expected[i].action);
        EXPECT_EQ(requests[i].parts, expected[i].parts);
        EXPECT_EQ(requests[i].fields.at("authToken"), code_);
        for (const auto& [part, file] : requests[i].files) {
            EXPECT_EQ(file.file_name, expected[i].file_name);
        }
    }
    EXPECT_EQ(requests[2].fields.at("streamName"), "");
    EXPECT_EQ(requests[2].fields.at("countBlock"), "1");
    EXPECT_EQ(requests[3].fields.at("currentBlock"), "0");
    EXPECT_EQ(requests[4].fields.at("imgNo"), "1");
    EXPECT_THAT(site_.violations(), IsEmpty());
}

TEST_F(ChannelUploader, TheLaunchCodeOverwritesACallersAuthToken) {
    Json::Value reply;
    EXPECT_TRUE(uploader_.call("c=api&a=getFreeSize", {{"authToken", "forged"}}, {}, reply));
    EXPECT_EQ(uploader_.status(), 1);
    EXPECT_EQ(reply["size"].asString(), "5368709120");
    EXPECT_EQ(site_.requests().at(0).fields.at("authToken"), code_);
}

TEST_F(ChannelUploader, RepliesAreReadIntoTheActionsResults) {
    site_.set_free_size("6000000000");
    EXPECT_EQ(uploader_.get_free_size(), 6000000000);

    const std::string name = uploader_.create_upload("", 3);
    EXPECT_EQ(uploader_.status(), 1);
    ASSERT_FALSE(name.empty());
    EXPECT_TRUE(site_.streams().isMember(name));

    const std::string block = file("0.zpksegment", pattern(100));
    EXPECT_EQ(uploader_.upload_block(name, 0, block), 0);
    EXPECT_EQ(uploader_.status(), 1);
    // The site wants block 1 next.
    EXPECT_EQ(uploader_.upload_block(name, 2, block), 1);
    EXPECT_EQ(uploader_.status(), 7);
    site_.script([] {
        Json::Value entry = scripted("uploadBlock", 3);
        entry["reply"]["status"] = "7";
        entry["reply"]["currentBlock"] = "5";
        return entry;
    }());
    EXPECT_EQ(uploader_.upload_block(name, 1, block), 5);
    EXPECT_EQ(uploader_.status(), 7);

    // Two of three blocks are missing: the site names the one it expects.
    const std::string index = file("T1.zpksegments", pattern(10));
    EXPECT_EQ(uploader_.complete_upload(name, {}, index), 1);
    EXPECT_EQ(uploader_.status(), 4);

    EXPECT_EQ(uploader_.upload_block("no such stream", 0, block), 0);
    EXPECT_EQ(uploader_.status(), 3);

    lumo_channel_uploader stranger(site_.address());
    stranger.set_auth_token(encode_launch_code("0123456789abcdef", "wrong"));
    EXPECT_EQ(stranger.get_free_size(), 0);
    EXPECT_EQ(stranger.status(), 2);

    Json::Value categories;
    categories.append("新闻");
    categories.append("体育");
    site_.set_categories(categories);
    EXPECT_THAT(uploader_.get_category_list(), ElementsAre("新闻", "体育"));
    EXPECT_EQ(uploader_.status(), 1);
}

TEST_F(ChannelUploader, ACompleteStreamTakesNothingMore) {
    const std::string block = file("0.zpksegment", pattern(10));
    const std::string name = uploader_.create_upload("", 1);
    uploader_.upload_block(name, 0, block);
    uploader_.complete_upload(name, {}, block);
    ASSERT_EQ(uploader_.status(), 1) << uploader_.msg();

    EXPECT_EQ(uploader_.upload_block(name, 1, block), 0);
    EXPECT_EQ(uploader_.status(), 9);
    EXPECT_EQ(uploader_.complete_upload(name, {}, block), 0);
    EXPECT_EQ(uploader_.status(), 9);
}

TEST_F(ChannelUploader, ACategoryListThatIsNoListOfNamesIsAFailure) {
    const std::vector<std::pair<std::string, Json::Value>> lists = {
        {"null", Json::Value(Json::nullValue)},
        {"empty array", Json::Value(Json::arrayValue)},
        {"object", Json::Value(Json::objectValue)},
        {"string", Json::Value("News")},
    };
    for (const auto& [what, list] : lists) {
        SCOPED_TRACE(what);
        site_.set_categories(list);
        EXPECT_THAT(uploader_.get_category_list(), IsEmpty());
        EXPECT_EQ(uploader_.status(), 100);
        EXPECT_EQ(uploader_.msg(), "Category list is empty");
    }
    site_.leave_out_categories();
    EXPECT_THAT(uploader_.get_category_list(), IsEmpty());
    EXPECT_EQ(uploader_.status(), 100);
    EXPECT_EQ(uploader_.msg(), "Category list is empty");
}

TEST_F(ChannelUploader, EveryReplyThatIsNotWhatTheSiteSendsIsALocalFailure) {
    struct reply_case {
        std::string what;
        Json::Value script;  // action and call are filled in
        std::int32_t status;
        std::vector<std::string> msgs;  // any of them
        std::int64_t size = 0;
    };
    const auto reply = [](Json::Value object) {
        Json::Value entry;
        entry["reply"] = std::move(object);
        return entry;
    };
    const auto body = [](std::string text) {
        Json::Value entry;
        entry["body"] = std::move(text);
        return entry;
    };
    const auto with = [](Json::Value entry, const char* key, Json::Value value) {
        entry[key] = std::move(value);
        return entry;
    };
    Json::Value status_text;
    status_text["status"] = "2";
    status_text["msg"] = "password changed";
    Json::Value bad_number;
    bad_number["status"] = "2x";
    Json::Value no_status;
    no_status["msg"] = "what";
    Json::Value numeric;
    numeric["status"] = 1;
    numeric["size"] = "77";
    Json::Value object_status;
    object_status["status"]["code"] = 1;
    Json::Value server_error;
    server_error["status"] = "6";
    server_error["msg"] = "internal error";
    const std::vector<std::string> connection_texts = {"Server can't send data",
                                                       "socket recv failed", "socket send failed",
                                                       "Server can't recv data"};

    const std::vector<reply_case> cases = {
        {"byte order mark", with({}, "bom", true), 1, {""}, 5368709120},
        {"status as a string", reply(status_text), 2, {"password changed"}},
        {"status that is no number", reply(bad_number), 100, {"bad cast"}},
        {"no status", reply(no_status), 100, {"Bad server response"}},
        {"status as a number", reply(numeric), 1, {""}, 77},
        {"status that is an object",
         reply(object_status),
         100,
         {"Type is not convertible to string"}},
        {"an array", body("[1, 2]"), 100, {"Bad server response"}},
        {"not JSON", body("status=1"), 100, {"Bad json format"}},
        {"empty body", body(""), 100, {"Server return empty response"}},
        {"no Content-Length",
         with({}, "content_length", false),
         100,
         {"Server return empty response"}},
        {"JSON with comments",
         body("// the site\n{\"status\": \"1\", /* all */ \"size\": \"9\"}"),
         1,
         {""},
         9},
        {"HTTP 500 with JSON",
         with(reply(server_error), "status_line", "HTTP/1.0 500 Oops"),
         6,
         {"internal error"}},
        {"HTTP 500 with a page",
         with(with(body("<html><body>Internal Server Error</body></html>"), "status_line",
                   "HTTP/1.0 500 Internal Server Error"),
              "content_type", "text/html"),
         100,
         {"Bad json format"}},
        {"a body over 8192 bytes",
         body("{\"status\": \"1\", \"msg\": \"" + std::string(9000, 'x') + "\"}"),
         100,
         {"Bad json format"}},
        {"cut before the reply", with({}, "close_before_reply", true), 100, connection_texts},
        {"cut while the request comes", with({}, "close_after_bytes", 40), 100, connection_texts},
        {"a reply after 2 s", with({}, "delay_ms", 2000), 1, {""}, 5368709120},
    };
    int call = 0;
    for (const reply_case& c : cases) {
        SCOPED_TRACE(c.what);
        Json::Value entry = c.script;
        entry["action"] = "getFreeSize";
        entry["call"] = ++call;
        site_.script(entry);
        EXPECT_EQ(uploader_.get_free_size(), c.size);
        EXPECT_EQ(uploader_.status(), c.status);
        EXPECT_THAT(c.msgs, ::testing::Contains(uploader_.msg()));
    }
    EXPECT_THAT(site_.violations(), IsEmpty());
}

TEST_F(ChannelUploader, FilesAndTextsArriveByteForByte) {
    const std::string segment_bytes = pattern(3 * 1024 * 1024);
    const std::string index_bytes = pattern(4321).substr(7) + "index";
    const std::string image_bytes = "\xFF\xD8\xFF\xE0" + pattern(2000);
    const std::string segment = file("0.zpksegment", segment_bytes);
    const std::string index = file("T1.zpksegments", index_bytes);
    const std::string image = file("thumbnail_c3.jpg", image_bytes);

    const std::string name = uploader_.create_upload("", 1);
    uploader_.upload_block(name, 0, segment);
    EXPECT_EQ(uploader_.status(), 1) << uploader_.msg();
    uploader_.upload_thumbnail(name, 3, image);
    EXPECT_EQ(uploader_.status(), 1) << uploader_.msg();
    upload_description description;
    description.title = "新闻联播 <第1集> & \"特别\"";
    description.category = "新闻";
    description.labels = "标签一,标签二";
    description.note = "备注\r\n第二行";
    description.width = 640;
    description.height = 480;
    description.framerate = 25;
    description.duration_ms = 3600123;
    description.video_kbps = 600;
    description.audio_kbps = 96;
    description.total_bitrate = 696000;
    uploader_.complete_upload(name, description, index);
    EXPECT_EQ(uploader_.status(), 1) << uploader_.msg();

    const std::vector<recorded_request> requests = site_.requests();
    ASSERT_EQ(requests.size(), 4u);
    const recorded_request& block = requests[1];
    EXPECT_EQ(block.files.at("uploadBlock").bytes(), segment_bytes);
    EXPECT_EQ(block.fields.at("blockSize"), std::to_string(segment_bytes.size()));
    EXPECT_EQ(requests[2].files.at("fileImg").bytes(), image_bytes);
    const recorded_request& complete = requests[3];
    EXPECT_EQ(complete.files.at("indexFile").bytes(), index_bytes);
    EXPECT_EQ(complete.fields.at("indexFileSize"), std::to_string(index_bytes.size()));
    const std::map<std::string, std::string> texts = {{"title", description.title},
                                                      {"cat", "新闻"},
                                                      {"tag", description.labels},
                                                      {"description", description.note},
                                                      {"width", "640"},
                                                      {"height", "480"},
                                                      {"framerate", "25"},
                                                      {"duration", "3600123"},
                                                      {"videoBitrate", "600"},
                                                      {"audioBitrate", "96"},
                                                      {"bitrate", "696000"},
                                                      {"streamName", name}};
    for (const auto& [field, value] : texts) {
        EXPECT_EQ(complete.fields.at(field), value) << field;
    }
    // What the site keeps of the stream.
    EXPECT_EQ(read_file(site_.storage() / name / "0.zpksegment"), segment_bytes);
    EXPECT_EQ(read_file(site_.storage() / name / (name + ".zpksegments")), index_bytes);
    EXPECT_EQ(read_file(site_.storage() / name / "thumbnail_3.jpg"), image_bytes);
    EXPECT_TRUE(site_.streams()[name]["complete"].asBool());
}

TEST_F(ChannelUploader, LocalFailuresSendNothing) {
    lumo_channel_uploader no_url("127.0.0.1:" + std::to_string(site_.port()) + "/admin/index.php");
    no_url.set_auth_token(code_);
    EXPECT_EQ(no_url.get_free_size(), 0);
    EXPECT_EQ(no_url.status(), 100);
    EXPECT_EQ(no_url.msg(), "Bad server address");

    EXPECT_EQ(uploader_.upload_block("stream1", 0, (files_ / "missing.zpksegment").string()), 0);
    EXPECT_EQ(uploader_.status(), 100);
    EXPECT_NE(uploader_.msg(), "");

    EXPECT_THAT(site_.requests(), IsEmpty());
}

TEST_F(ChannelUploader, ConnectionFailuresCarryTheConnectionLayersText) {
    lumo_channel_uploader closed(
        "http://127.0.0.1:" + std::to_string(platform::testing::free_port()) + "/x.php");
    EXPECT_THAT(closed.get_category_list(), IsEmpty());
    EXPECT_EQ(closed.status(), 100);
    EXPECT_EQ(closed.msg(), "Connect failed");

    lumo_channel_uploader unknown("http://no-such-host.invalid/x.php");
    EXPECT_EQ(unknown.create_upload("", 1), "");
    EXPECT_EQ(unknown.status(), 100);
    EXPECT_EQ(unknown.msg(), "Can't resolve host name");
}

TEST(SiteEndpoint, TakesHostAndPortFromTheSiteAddress) {
    struct endpoint_case {
        std::string address;
        std::string host;
        std::uint16_t port;
    };
    const std::vector<endpoint_case> cases = {
        {"http://example.test/admin/index.php", "example.test", 80},
        {"http://example.test:8080/admin/index.php", "example.test", 8080},
        {"http://10.1.2.3:65535", "10.1.2.3", 65535},
        {"http://example.test?c=api", "example.test", 80},
    };
    for (const endpoint_case& c : cases) {
        SCOPED_TRACE(c.address);
        const auto endpoint = site_endpoint_of(c.address);
        ASSERT_TRUE(endpoint);
        EXPECT_EQ(endpoint->host, c.host);
        EXPECT_EQ(endpoint->port, c.port);
    }
    EXPECT_FALSE(site_endpoint_of("example.test/admin/index.php"));
    EXPECT_FALSE(site_endpoint_of("http://example.test:65536/"));
    EXPECT_FALSE(site_endpoint_of(""));
}

}  // namespace
