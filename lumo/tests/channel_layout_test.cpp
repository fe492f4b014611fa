#include <crypt.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "lumo/channel_files.hpp"
#include "lumo/tests/channel_test_support.hpp"

namespace {

using namespace channel_testing;
using namespace std::string_literals;

const std::string files_match =
    R"x(<FilesMatch "^(.*\.zpksegment)|(.*\.zpksegments)|(.*\.livesegments)|(.*\.ts)|(.*\.flv)|)x"
    R"x((.*\.f4v)|(.*\.m3u)|(.*\.mp3)|(.*\.aac)|(.*\.mp4)|(.*\.m4a)|(.*\.m4v)|(.*\.f4m)|(.*\.f4f)">)x"
    "\n";
const std::string deny_form = files_match + "\ndeny from all\norder deny,allow\n</FilesMatch>\n";

std::string basic_form(const std::string& directory, const std::string& notice) {
    return files_match + "AuthUserFile \"" + directory +
           "/.htpasswd\"\nAuthGroupFile /dev/null\nAuthName \"" + notice +
           "\"\nAuthType Basic\nrequire valid-user\norder deny,allow\n</FilesMatch>";
}

// Whether an .htpasswd line lets in the empty user with this password.
bool htpasswd_accepts(const std::string& line, const std::string& password) {
    if (line.size() < 2 || line[0] != ':') {
        return false;
    }
    const std::string hash = line.substr(1);
    auto work = std::make_unique<crypt_data>();
    const char* result = crypt_r(password.c_str(), hash.c_str(), work.get());
    return result != nullptr && hash == result;
}

std::string error_of(bool ok, const std::string& error) {
    return ok ? "(succeeded)" : error;
}

TEST(ChannelLayout, HashLevelsSpreadChannelsByName) {
    const struct {
        std::string name;
        std::string levels;
    } cases[] = {
        {"abc", "63/54/5"},
        {"test", "55/22/40"},
        {"\xE4\xB8\xAD\xE6\x96\x87\xE9\xA2\x91\xE9\x81\x93", "8/11/4"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lumo::lumo_channel_manager::hashed_path(c.name), c.levels) << c.name;
    }
}

TEST(ChannelLayout, LiveChannelGetsItsDirectoryAndPublishSettings) {
    channel_fixture f;
    const string_map info = f.create(0, "abc");
    const std::string local = f.media.string() + "/live/63/54/5/abc";
    EXPECT_EQ(info, (string_map{{"virtualPath", "/media/live/63/54/5/abc"},
                                {"localPath", local},
                                {"streamName", "abc"},
                                {"type", "live"},
                                {"virtualDir", "media"}}));
    EXPECT_EQ(read_file(local + "/.flaccess"),
              settings_xml("<finalized>1</finalized><only_publish_name>abc</only_publish_name>"
                           "<allow_publish>1</allow_publish><allow_play>1</allow_play>"));
    EXPECT_FALSE(fs::exists(local + "/.htaccess")) << "open to play without a password";

    string_map found;
    std::string error;
    ASSERT_TRUE(f.manager->get_channel_info("/media/live/63/54/5/abc", found, error)) << error;
    EXPECT_EQ(found, info);
    // The short form names a directory of its own.
    EXPECT_FALSE(f.manager->get_channel_info("/media/live/abc", found, error));
    EXPECT_EQ(error, "CHANNEL_NOT_EXISTS:Channel does not exist");
}

TEST(ChannelLayout, VodChannelKeepsPasswordsAndLimits) {
    const struct {
        std::string max_concurrents;
        std::string stored;
    } cases[] = {{"12", "12"}, {"12x", "0"}, {"-3", "-3"},        {"+7", "7"},
                 {"", "0"},    {"+", "0"},   {"2147483648", "0"}, {"-2147483648", "-2147483648"},
                 {"+-1", "0"}, {" 5", "0"}};
    channel_fixture f;
    int n = 0;
    for (const auto& c : cases) {
        const std::string name = "show" + std::to_string(n++);
        const string_map info = f.create(1, name,
                                         {{"play_password", ""},
                                          {"publish_password", "pub"},
                                          {"max_concurrents", c.max_concurrents},
                                          {"something_else", "ignored"}});
        EXPECT_EQ(read_file(info.at("localPath") + "/.flaccess"),
                  settings_xml("<finalized>1</finalized><play_password/>"
                               "<allow_play>1</allow_play><publish_password>pub</publish_password>"
                               "<max_concurrents>" +
                               c.stored + "</max_concurrents>"))
            << c.max_concurrents;
    }
}

TEST(ChannelLayout, CreateRefusesWithItsErrors) {
    channel_fixture f;
    f.create(0, "abc");
    const struct {
        const char* what;
        int type;
        std::string virtual_dir;
        string_map params;
        std::string error;
    } cases[] = {
        {"unknown virtual directory",
         0,
         "Media",
         {{"stream_name", "x"}},
         "BAD_VIRTUAL_DIR:Bad virtual directory"},
        {"type", 2, "media", {{"stream_name", "x"}}, "BAD_PARAM:Bad channel type"},
        {"negative type", -1, "media", {{"stream_name", "x"}}, "BAD_PARAM:Bad channel type"},
        {"no name", 0, "media", {{"play_password", "x"}}, "BAD_PARAM:stream_name is not set"},
        {"empty name", 0, "media", {{"stream_name", ""}}, "BAD_PARAM:stream_name is not valid"},
        {"colon", 1, "media", {{"stream_name", "a:b"}}, "BAD_PARAM:stream_name is not valid"},
        {"existing", 0, "media", {{"stream_name", "abc"}}, "CHANNEL_EXISTS:channel exists"},
        {"a file where the folder must go",
         0,
         "broken",
         {{"stream_name", "x"}},
         "IO_ERROR:Can't create directory for the channel"},
    };
    for (const auto& c : cases) {
        const tree_snapshot before = snapshot(f.dir.path());
        string_map info;
        std::string error;
        EXPECT_EQ(error_of(f.manager->create_channel(c.type, c.virtual_dir, c.params, info, error),
                           error),
                  c.error)
            << c.what;
        EXPECT_TRUE(info.empty()) << c.what;
        EXPECT_EQ(changes_since(before, f.dir.path()), std::vector<std::string>{}) << c.what;
    }
}

TEST(ChannelLayout, VirtualPathsParseOnlyWhenWellFormed) {
    channel_fixture f;
    const auto parsed = f.manager->parse_virtual_path("/media/live/abc");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->type, "live");
    EXPECT_EQ(parsed->stream_name, "abc");
    EXPECT_EQ(parsed->virtual_dir, "media");
    EXPECT_EQ(parsed->local_dir, f.media.string() + "/live/abc");
    const auto hashed = f.manager->parse_virtual_path("/media/vod/63/54/5/abc");
    ASSERT_TRUE(hashed);
    EXPECT_EQ(hashed->local_dir, f.media.string() + "/vod/63/54/5/abc");

    const std::string refused[] = {
        "",
        "media/live/a/b/c",
        "/media/live/x/",
        "//live/x",
        "/media/live/a:b",
        "/media/x",
        "/media",
        "/media/live/../abc",
        "/media/../../etc",
        "/media/live/a\0b"s,
        "/media/live/a\\b",
        "/media/live/abc\\",
        "/Media/live/abc",
        "/nowhere/live/abc",
        "/media/live/" + std::string(257, 'a'),
    };
    for (const auto& path : refused) {
        EXPECT_FALSE(f.manager->parse_virtual_path(path)) << path;
        std::string error;
        EXPECT_FALSE(f.manager->update_channel(path, {{"allow_play", "0"}}, error)) << path;
        EXPECT_EQ(error, "BAD_VIRTUAL_PATH:Bad virtual path") << path;
    }
}

TEST(ChannelLayout, TheMediaServerReadsWhatIsWritten) {
    channel_fixture f;
    f.create(0, "abc",
             {{"play_password", "see"}, {"publish_password", "send"}, {"max_concurrents", "4"}});
    const std::string path = "/media/live/63/54/5/abc";
    auto app = f.app_at(path);
    ASSERT_TRUE(app);
    EXPECT_EQ(app->directory(), f.media.string() + "/live/63/54/5/abc");
    EXPECT_TRUE(app->finalized());
    EXPECT_EQ(app->get<std::string>("only_publish_name", ""), "abc");
    EXPECT_TRUE(app->get<bool>("allow_publish", false)) << "the channel overrides its folder";
    EXPECT_TRUE(app->get<bool>("allow_play", false));
    EXPECT_EQ(app->get<std::string>("play_password", ""), "see");
    EXPECT_EQ(app->get<std::string>("publish_password", ""), "send");
    EXPECT_EQ(app->get<int>("max_concurrents", 0), 4);

    std::string error;
    ASSERT_TRUE(f.manager->update_channel(path,
                                          {{"allow_publish", "0"},
                                           {"play_password", "look"},
                                           {"publish_password", ""},
                                           {"max_concurrents", "x"}},
                                          error))
        << error;
    ASSERT_TRUE(f.manager->set_channel_allow_play(path, false, error)) << error;
    app = f.app_at(path);
    ASSERT_TRUE(app);
    EXPECT_FALSE(app->get<bool>("allow_publish", true));
    EXPECT_FALSE(app->get<bool>("allow_play", true));
    EXPECT_EQ(app->get<std::string>("play_password", ""), "look");
    EXPECT_EQ(app->get<std::string>("publish_password", "unset"), "");
    EXPECT_EQ(app->get<int>("max_concurrents", -1), 0);
    // Values keep their places; nothing else was added.
    EXPECT_EQ(read_file(f.media / "live/63/54/5/abc/.flaccess"),
              settings_xml("<finalized>1</finalized><only_publish_name>abc</only_publish_name>"
                           "<allow_publish>0</allow_publish><play_password>look</play_password>"
                           "<allow_play>0</allow_play><publish_password/>"
                           "<max_concurrents>0</max_concurrents>"));

    // A vod channel never takes publishers: its folder forbids overriding.
    f.create(1, "test");
    app = f.app_at("/media/vod/55/22/40/test");
    ASSERT_TRUE(app);
    EXPECT_FALSE(app->get<bool>("allow_publish", true));
    EXPECT_TRUE(app->get<bool>("allow_play", false));
}

TEST(ChannelLayout, AccessFilesFollowTheSettings) {
    channel_fixture f;
    f.create(1, "abc");
    const std::string dir = f.media.string() + "/vod/63/54/5/abc";
    const std::string notice = "Input play password and leave user name empty";
    const struct {
        const char* what;
        std::string settings;
        std::string htaccess;  // empty: no file
        std::string password;  // empty: no .htpasswd
    } cases[] = {
        {"no allow_play", "<finalized>1</finalized>", deny_form, ""},
        {"allow_play 0", "<allow_play>0</allow_play>", deny_form, ""},
        {"allow_play 0 with a password",
         "<allow_play>0</allow_play><play_password>pw</play_password>", deny_form, ""},
        {"play password", "<allow_play>1</allow_play><play_password>s3cret pw</play_password>",
         basic_form(dir, notice), "s3cret pw"},
        {"redirection",
         "<allow_play>0</allow_play><app_redirection>/media/vod/1/2/3/abc</app_redirection>",
         "RewriteEngine On\nRewriteRule (.+) ../../../../../../media/vod/1/2/3/abc/$1", ""},
        {"open", "<allow_play>1</allow_play>", "", ""},
        {"open, empty password", "<allow_play>1</allow_play><play_password/>", "", ""},
    };
    for (const auto& c : cases) {
        write_file(dir + "/.flaccess", settings_xml(c.settings));
        f.manager->write_htaccess(dir);
        if (c.htaccess.empty()) {
            EXPECT_FALSE(fs::exists(dir + "/.htaccess")) << c.what;
        } else {
            EXPECT_EQ(read_file(dir + "/.htaccess"), c.htaccess) << c.what;
        }
        if (c.password.empty()) {
            EXPECT_FALSE(fs::exists(dir + "/.htpasswd")) << c.what;
        } else {
            const std::string line = read_file(dir + "/.htpasswd");
            EXPECT_EQ(line.substr(0, 4), ":$6$") << c.what;
            EXPECT_TRUE(htpasswd_accepts(line, c.password)) << c.what;
            EXPECT_FALSE(htpasswd_accepts(line, c.password + "x")) << c.what;
            EXPECT_FALSE(htpasswd_accepts(line, "")) << c.what;
            EXPECT_EQ(line.find('\n'), std::string::npos);
        }
    }
    // Every hash has a salt of its own.
    EXPECT_NE(lumo::htpasswd_entry("same"), lumo::htpasswd_entry("same"));
}

TEST(ChannelLayout, AccessFilesAreReplacedNeverDroppedOnFailure) {
    channel_fixture f;
    const std::string path = f.create(0, "abc", {{"play_password", "pw"}}).at("virtualPath");
    const std::string dir = f.media.string() + "/live/63/54/5/abc";
    std::string error;
    EXPECT_EQ(read_file(dir + "/.htaccess"), basic_form(dir,
                                                        "Input play password and leave "
                                                        "user name empty"));
    EXPECT_TRUE(htpasswd_accepts(read_file(dir + "/.htpasswd"), "pw"));

    // Password form to deny form: the password file goes with it.
    ASSERT_TRUE(f.manager->set_channel_allow_play(path, false, error)) << error;
    EXPECT_EQ(read_file(dir + "/.htaccess"), deny_form);
    EXPECT_FALSE(fs::exists(dir + "/.htpasswd"));

    // Files are made as an ordinary create makes them, readable by a web
    // server running as another user wherever the umask allows.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    for (const char* name : {"/.flaccess", "/.htaccess"}) {
        EXPECT_EQ(fs::status(dir + name).permissions(), fs::perms(0666 & ~mask)) << name;
    }

    // Settings that cannot be read change nothing and are reported.
    write_file(dir + "/.flaccess", "<config><qen_app><allow_play>1</allow_play>");
    const tree_snapshot before = snapshot(f.dir.path());
    EXPECT_FALSE(f.manager->set_channel_allow_play(path, true, error));
    EXPECT_EQ(error.rfind("EXCEPTION:Exception occurs when updating the channel: ", 0), 0u)
        << error;
    EXPECT_THROW(f.manager->write_htaccess(dir), std::exception);
    EXPECT_EQ(changes_since(before, f.dir.path()), std::vector<std::string>{});

    // A folder where the access file must go: the write fails, reported,
    // and the settings stay readable.
    write_file(dir + "/.flaccess", settings_xml("<allow_play>1</allow_play>"));
    fs::remove(dir + "/.htaccess");
    fs::create_directories(dir + "/.htaccess/in-the-way");
    EXPECT_FALSE(f.manager->update_channel(path, {{"play_password", "new"}}, error));
    EXPECT_EQ(error.rfind("EXCEPTION:Exception occurs when updating the channel: ", 0), 0u)
        << error;
    EXPECT_TRUE(fs::is_directory(dir + "/.htaccess/in-the-way"));
}

TEST(ChannelLayout, QuotedTextsCannotEndTheirQuotes) {
    channel_fixture f(R"(<authentication_notice>Say "pw" \ here</authentication_notice>)");
    f.create(1, "abc", {{"play_password", "x"}});
    const std::string dir = f.media.string() + "/vod/63/54/5/abc";
    const std::string htaccess = read_file(dir + "/.htaccess");
    EXPECT_NE(htaccess.find(R"(AuthName "Say \"pw\" \\ here")"), std::string::npos) << htaccess;

    // A line break no quoting keeps in: the access files are not written.
    channel_fixture broken("<authentication_notice>two\nlines</authentication_notice>");
    string_map info;
    std::string error;
    EXPECT_FALSE(broken.manager->create_channel(
        1, "media", {{"stream_name", "abc"}, {"play_password", "x"}}, info, error));
    EXPECT_EQ(
        error,
        "EXCEPTION:Exception occurs when creating the channel: Control character in an access "
        "file argument");
    EXPECT_FALSE(fs::exists(broken.media / "vod/63/54/5/abc")) << "built before anything is made";
}

// Names and values that would reach outside a channel folder or into the
// lines of a file are refused before anything is written.
TEST(ChannelLayout, HostileNamesAndValuesChangeNothing) {
    channel_fixture f;
    const std::string path = f.create(0, "abc", {{"play_password", "pw"}}).at("virtualPath");

    const std::string bad_name = "BAD_PARAM:stream_name is not valid";
    const std::string bad_path = "BAD_VIRTUAL_PATH:Bad virtual path";
    const std::string creating = "EXCEPTION:Exception occurs when creating the channel: ";
    const std::string updating = "EXCEPTION:Exception occurs when updating the channel: ";
    const std::string long_name(257, 'n');
    const std::string huge_name(60000, 'n');

    struct hostile_name {
        std::string name;
        string_map params;
        std::string error;
    };
    const std::vector<hostile_name> names = {
        {"..", {}, bad_name},
        {".", {}, bad_name},
        {"../../etc", {}, bad_name},
        {"a/b", {}, bad_name},
        {"a\\b", {}, bad_name},
        {"a\0b"s, {}, bad_name},
        {"a\nb", {}, bad_name},
        {"a\rb", {}, bad_name},
        {"tab\t", {}, bad_name},
        {"del\x7F", {}, bad_name},
        {long_name, {}, bad_name},
        {huge_name, {}, bad_name},
        {"ok", {{"play_password", "pw\0x"s}}, creating + "play_password holds a control character"},
        {"ok", {{"play_password", "pw\nx"}}, creating + "play_password holds a control character"},
        {"ok",
         {{"publish_password", "\x1b[0m"}},
         creating + "publish_password holds a control character"},
    };
    for (const auto& c : names) {
        const tree_snapshot before = snapshot(f.dir.path());
        for (int type : {0, 1}) {
            string_map params = c.params;
            params["stream_name"] = c.name;
            string_map info;
            std::string error;
            EXPECT_EQ(
                error_of(f.manager->create_channel(type, "media", params, info, error), error),
                c.error)
                << c.name.substr(0, 20);
        }
        EXPECT_EQ(changes_since(before, f.dir.path()), std::vector<std::string>{})
            << c.name.substr(0, 20);
    }

    const std::string paths[] = {
        "/media/live/63/54/5/..",   "/media/live/../../x",       "/media/../qen.xml/x",
        "/media/live/63/54/5/a\\b", "/media/live/63/54/5/a\0b"s, "/media/live/" + long_name,
        "/media/live/" + huge_name, "/media/live/63/54/5/abc/",  "/media/live/63/54/5/abc\\",
        "/media/live/63/54/5/a\nb", "/media/live/63/54/5/abc\r",
    };
    for (const auto& p : paths) {
        const tree_snapshot before = snapshot(f.dir.path());
        std::string error;
        string_map out;
        EXPECT_EQ(error_of(f.manager->update_channel(p, {{"allow_play", "1"}}, error), error),
                  bad_path);
        EXPECT_EQ(error_of(f.manager->delete_channel(p, error), error), bad_path);
        EXPECT_EQ(error_of(f.manager->stop_channel(p, error), error), bad_path);
        EXPECT_EQ(error_of(f.manager->get_channel_info(p, out, error), error), bad_path);
        EXPECT_EQ(error_of(f.manager->enableFakeLiveForVod(p, true, 1, true, error), error),
                  bad_path);
        EXPECT_EQ(error_of(f.manager->convertLiveChannelToVod(p, out, error), error), bad_path);
        EXPECT_EQ(error_of(f.manager->getChannelMetaData(p, out, error), error), bad_path);
        EXPECT_EQ(changes_since(before, f.dir.path()), std::vector<std::string>{})
            << p.substr(0, 40);
    }

    const struct {
        string_map changes;
        std::string error;
    } changes[] = {
        {{{"play_password", "a\0b"s}}, updating + "play_password holds a control character"},
        {{{"publish_password", "line\r\n"}},
         updating + "publish_password holds a control character"},
        {{{"app_redirection", "/media/vod\nRewriteRule .* http://elsewhere"}},
         updating + "app_redirection holds a control character"},
        {{{"app_redirection", "http://elsewhere"}},
         updating + "app_redirection is not a virtual path"},
        {{{"app_redirection", "../../../etc"}}, updating + "app_redirection is not a virtual path"},
        {{{"app_redirection", "/media/../x"}}, updating + "app_redirection is not a virtual path"},
        {{{"app_redirection", "/media//x"}}, updating + "app_redirection is not a virtual path"},
        {{{"app_redirection", "/media/x/"}}, updating + "app_redirection is not a virtual path"},
        {{{"app_redirection", "/media/x\" y"}}, updating + "app_redirection is not a virtual path"},
        {{{"app_redirection", "/"}}, updating + "app_redirection is not a virtual path"},
        {{{"allow_play", "0"}, {"app_redirection", "/a\\b"}},
         updating + "app_redirection is not a virtual path"},
    };
    for (const auto& c : changes) {
        const tree_snapshot before = snapshot(f.dir.path());
        std::string error;
        EXPECT_EQ(error_of(f.manager->update_channel(path, c.changes, error), error), c.error);
        EXPECT_EQ(changes_since(before, f.dir.path()), std::vector<std::string>{}) << c.error;
    }
}

}  // namespace
