#include <sys/statvfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <charconv>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "lumo/channel_manager.hpp"
#include "lumo/configuration_editor.hpp"
#include "lumo/tests/channel_test_support.hpp"
#include "qen/app_manager.hpp"
#include "qen/qen_config.hpp"
#include "qen/tests/config_test_support.hpp"

namespace {

using namespace channel_testing;
using namespace std::string_literals;
using qen_test::served_domains;

const std::string dirs_failed = "EXCEPTION:Exception occurs when getVirtualDirs: ";
const std::string settings_failed = "EXCEPTION:Exception occurs when updateSetting: ";
const std::string bad_local_path = "BAD_PARAM:Bad local path for the virtual directory";
const std::string bad_domain_name = "BAD_PARAM:Bad domain name";

const std::string live_settings =
    settings_xml("<allow_publish>0</allow_publish><allow_play>1</allow_play>");
const std::string vod_settings = settings_xml(
    "<allow_publish>0<allow_override>0</allow_override></allow_publish>"
    "<allow_play>1</allow_play>");

std::string error_of(bool ok, const std::string& error) {
    return ok ? "(succeeded)" : error;
}

// A machine's configuration file in etc/ with one domain and no lumo
// section, and the supervisor's configuration editor and channel manager
// on it.
struct supervisor {
    temp_dir dir;
    fs::path file = dir / "etc/qen.xml";
    std::mutex config_lock;
    std::unique_ptr<qen::qen_config> config;
    std::unique_ptr<lumo::configuration_editor> editor;
    std::unique_ptr<lumo::lumo_channel_manager> channels;

    // `domains`: the inside of config.qen.domains; "$ROOT" stands for the
    // test's folder.
    explicit supervisor(std::string domains =
                            "<domain><names><name>Example.com</name></names>"
                            "<path>$ROOT/www</path></domain>",
                        const std::string& qen_settings = "") {
        for (std::size_t at; (at = domains.find("$ROOT")) != std::string::npos;) {
            domains.replace(at, 5, dir.path().string());
        }
        fs::create_directories(dir / "www");
        fs::create_directories(file.parent_path());
        write_file(file, "<config><qen>" + qen_settings + "<domains>" + domains +
                             "</domains></qen></config>");
        config = std::make_unique<qen::qen_config>(file);
        editor = std::make_unique<lumo::configuration_editor>(*config, config_lock);
        channels = std::make_unique<lumo::lumo_channel_manager>(*config, config_lock);
    }

    // The file as the media server or a restarted supervisor loads it.
    std::unique_ptr<qen::qen_config> load_again() const {
        return std::make_unique<qen::qen_config>(file);
    }

    std::string add(const std::string& name, const std::string& path) {
        std::string error;
        return error_of(editor->addVirtualDir(name, path, error), error);
    }

    // Takes the configuration's folder away, so that no save can complete,
    // until the returned guard ends.
    struct folder_away {
        const supervisor& s;
        explicit folder_away(const supervisor& owner) : s(owner) {
            fs::rename(s.file.parent_path(), s.dir / "etc.away");
            write_file(s.file.parent_path(), "a file where the folder was");
        }
        ~folder_away() {
            fs::remove(s.file.parent_path());
            fs::rename(s.dir / "etc.away", s.file.parent_path());
        }
    };
};

// Makes a folder the process's current directory while it lives.
class current_directory {
  public:
    explicit current_directory(const fs::path& dir) : old_(fs::current_path()) {
        fs::current_path(dir);
    }
    ~current_directory() { fs::current_path(old_); }

  private:
    fs::path old_;
};

// Whether the media server lets a client publish `name` into the
// application at `path`: allow_publish, then the one name allowed.
bool publish_allowed(const qen::qen_config& config, const std::string& path,
                     const std::string& name) {
    qen::app_manager apps(config.domains(), config.default_domain(), 0, 60);
    qen::url_parts context;
    const auto app = apps.find_app_by_url("rtmp://example.com" + path, context);
    if (!app || !app->get<bool>("allow_publish", true)) {
        return false;
    }
    const auto only = app->get_optional<std::string>("only_publish_name");
    return !only || *only == name;
}

TEST(VirtualDirs, AddingInEveryStateOfTheFolder) {
    const std::string no_publishing = settings_xml("<allow_publish>0</allow_publish>");
    struct folder_case {
        const char* what;
        std::string name;
        std::string path;  // under the test's folder, unless it is absolute
        void (*prepare)(const fs::path& media);
        std::string answer;
        std::string own_settings;  // the directory's own .flaccess afterwards
    };
    const auto nothing = [](const fs::path&) {};
    const folder_case cases[] = {
        {"nothing there yet", "media", "media", nothing, "(succeeded)", no_publishing},
        {"live and vod there already", "media", "media",
         [](const fs::path& media) {
             fs::create_directories(media / "live/old");
             fs::create_directories(media / "vod");
             write_file(media / "live/.flaccess", settings_xml("<allow_publish>1</allow_publish>"));
             write_file(media / "vod/.flaccess", "not settings");
         },
         "(succeeded)", no_publishing},
        {"settings of its own there already", "media", "media",
         [](const fs::path& media) {
             write_file(media / ".flaccess",
                        settings_xml("<play_password>pw</play_password><allow_publish>1"
                                     "<allow_override>0</allow_override></allow_publish>"));
         },
         "(succeeded)",
         settings_xml("<play_password>pw</play_password><allow_publish>0</allow_publish>")},
        {"settings no reader takes there already", "media", "media",
         [](const fs::path& media) { write_file(media / ".flaccess", "<config>"); }, "(succeeded)",
         no_publishing},
        {"a file named live", "media", "media",
         [](const fs::path& media) { write_file(media / "live", ""); },
         "IO_ERROR:Can't create live folder"},
        {"a file named vod", "media", "media",
         [](const fs::path& media) { write_file(media / "vod", ""); },
         "IO_ERROR:Can't create vod folder"},
        {"a file for a path", "media", "media/file",
         [](const fs::path& media) { write_file(media / "file", ""); },
         "IO_ERROR:Can't create live folder"},
        {"a duplicate name", "existing", "media", nothing,
         "BAD_PARAM:Duplicated virtual directory"},
        {"a missing path", "media", "media/missing", nothing, bad_local_path},
        {"an empty path", "media", "", nothing, bad_local_path},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        supervisor s(
            "<domain><names><name>example.com</name></names><path>$ROOT/www</path>"
            "<virtual_dirs><virtual_dir><name>existing</name><path>$ROOT/www</path>"
            "</virtual_dir></virtual_dirs></domain>");
        const fs::path media = s.dir / "media";
        fs::create_directories(media);
        c.prepare(media);
        const std::string path = c.path.empty() ? "" : (s.dir / c.path).string();

        const tree_snapshot before = snapshot(s.dir.path());
        const auto loaded_before = served_domains(*s.config);
        const std::string answer = s.add(c.name, path);
        EXPECT_EQ(answer, c.answer);
        if (answer != "(succeeded)") {
            EXPECT_EQ(changes_since(before, s.dir.path()), std::vector<std::string>{});
            EXPECT_EQ(served_domains(*s.config), loaded_before);
            continue;
        }
        EXPECT_EQ(read_file(media / "live/.flaccess"), live_settings);
        EXPECT_EQ(read_file(media / "vod/.flaccess"), vod_settings);
        EXPECT_EQ(read_file(media / ".flaccess"), c.own_settings);
        EXPECT_EQ(s.config->domains().at("example.com")->virtual_dirs.at("media"), path);
        const auto saved = s.load_again();
        EXPECT_EQ(saved->domains().at("example.com")->virtual_dirs.at("media"), path);
        EXPECT_EQ(served_domains(*saved), served_domains(*s.config));
    }
}

TEST(VirtualDirs, ARelativePathIsStoredAbsolute) {
    supervisor s;
    fs::create_directories(s.dir / "relative/media");
    {
        current_directory here(s.dir / "relative");
        EXPECT_EQ(s.add("media", "media"), "(succeeded)");
    }
    const std::string absolute = (s.dir / "relative/media").string();
    EXPECT_EQ(s.load_again()->domains().at("example.com")->virtual_dirs.at("media"), absolute);
    EXPECT_EQ(read_file(absolute + "/live/.flaccess"), live_settings);
}

TEST(VirtualDirs, TheMediaServerServesANewDirectoryWithItsPublishingRules) {
    supervisor s;
    fs::create_directories(s.dir / "media");
    ASSERT_EQ(s.add("media", (s.dir / "media").string()), "(succeeded)");

    // Channels made in it the way the administration site makes them.
    string_map live;
    string_map vod;
    std::string error;
    ASSERT_TRUE(s.channels->create_channel(0, "media", {{"stream_name", "abc"}}, live, error))
        << error;
    ASSERT_TRUE(s.channels->create_channel(1, "media", {{"stream_name", "abc"}}, vod, error))
        << error;
    const std::string live_path = live.at("virtualPath");
    const std::string vod_path = vod.at("virtualPath");
    EXPECT_EQ(live_path, "/media/live/63/54/5/abc");

    fs::create_directories(s.dir / "media/other");
    const auto qen_sees = s.load_again();
    EXPECT_TRUE(publish_allowed(*qen_sees, live_path, "abc"));
    EXPECT_FALSE(publish_allowed(*qen_sees, live_path, "other"));
    EXPECT_FALSE(publish_allowed(*qen_sees, "/media", "abc"));
    EXPECT_FALSE(publish_allowed(*qen_sees, "/media/other", "abc"));
    EXPECT_FALSE(publish_allowed(*qen_sees, "/media/live", "abc"));
    EXPECT_FALSE(publish_allowed(*qen_sees, "/media/live/63/54/5", "abc"));
    EXPECT_FALSE(publish_allowed(*qen_sees, vod_path, "abc"));
    EXPECT_FALSE(publish_allowed(*qen_sees, "/media/vod", "abc"));

    // No vod channel can turn publishing on for itself.
    ASSERT_TRUE(s.channels->update_channel(vod_path, {{"allow_publish", "1"}}, error)) << error;
    EXPECT_FALSE(publish_allowed(*qen_sees, vod_path, "abc"));
    // While a live one can turn it off.
    ASSERT_TRUE(s.channels->update_channel(live_path, {{"allow_publish", "0"}}, error)) << error;
    EXPECT_FALSE(publish_allowed(*qen_sees, live_path, "abc"));
}

TEST(VirtualDirs, ListedInNameOrderWithTheSpaceLeft) {
    supervisor s;
    for (const char* name : {"b", "a", "B", "gone"}) {
        fs::create_directories(s.dir / name);
        ASSERT_EQ(s.add(name, (s.dir / name).string()), "(succeeded)") << name;
    }
    fs::remove_all(s.dir / "gone");

    std::vector<string_map> dirs;
    std::string error;
    ASSERT_TRUE(s.editor->getVirtualDirs(dirs, error)) << error;
    EXPECT_EQ(error, "");
    ASSERT_EQ(dirs.size(), 4u);
    struct statvfs volume {};
    ASSERT_EQ(::statvfs(s.dir.path().c_str(), &volume), 0);
    const std::uint64_t size = static_cast<std::uint64_t>(volume.f_blocks) * volume.f_frsize;
    const char* order[] = {"B", "a", "b", "gone"};
    for (std::size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(order[i]);
        EXPECT_EQ(dirs[i].at("virtualDir"), order[i]);
        EXPECT_EQ(dirs[i].at("localPath"), (s.dir / order[i]).string());
        if (dirs[i].at("virtualDir") == "gone") {
            EXPECT_EQ(dirs[i].count("leftSize"), 0u);
            continue;
        }
        const std::string& left = dirs[i].at("leftSize");
        std::uint64_t bytes = 0;
        const auto [end, failure] = std::from_chars(left.data(), left.data() + left.size(), bytes);
        EXPECT_TRUE(failure == std::errc() && end == left.data() + left.size()) << left;
        EXPECT_LE(bytes, size);
        EXPECT_EQ(dirs[i].size(), 3u);
    }
}

TEST(Settings, DefaultsChangesAndKeysOfAnyKind) {
    supervisor s("<domain><names><name>example.com</name></names><path>/w</path></domain>",
                 "<rtmp><addr>10.0.0.1</addr></rtmp>");
    const string_map defaults = {
        {"config.qen.app_max_idle_time", "60"},
        {"config.qen.app_update_interval", "60"},
        {"config.qen.idle_timeout", "60"},
        {"config.qen.rtmp.addr", "10.0.0.1"},
        {"config.qen.rtmp.port", "1935"},
        {"config.qen.rtmp.disabled", "0"},
        {"config.qen.rtmfp.disabled", "0"},
        {"config.qen.rtmfp.port", "1935"},
        {"config.qen.rtmfp.detect_nat_port1", "1936"},
        {"config.qen.rtmfp.detect_nat_port2", "1937"},
        {"config.qen.rtmfp.max_sessions_per_ip", "256"},
        {"config.qen.rtmfp.max_groups_per_session", "1000"},
        {"config.lumo.http_streaming_port", "8083"},
        {"config.lumo.server_admin_ipc_port", "8084"},
        {"config.lumo.web_admin_port", "8085"},
        {"config.lumo.web_admin_ssl_port", "8086"},
        {"config.lumo.mysql_port", "8087"},
    };
    string_map settings;
    std::string error;
    ASSERT_TRUE(s.editor->get_settings(settings, error)) << error;
    EXPECT_EQ(settings, defaults);

    ASSERT_TRUE(s.editor->updateSetting("config.qen.rtmp.port", "1940", error)) << error;
    ASSERT_TRUE(s.editor->updateSetting("config.lumo.mysql_port", "3306", error)) << error;
    settings.clear();
    ASSERT_TRUE(s.editor->get_settings(settings, error)) << error;
    string_map changed = defaults;
    changed["config.qen.rtmp.port"] = "1940";
    changed["config.lumo.mysql_port"] = "3306";
    EXPECT_EQ(settings, changed);
    EXPECT_EQ(s.load_again()->settings().rtmp_port, 1940);
    EXPECT_EQ(s.load_again()->tree().get<std::string>("config.lumo.mysql_port"), "3306");

    // Keys outside the table, replaced in place where they exist.
    for (const char* key : {"config.lumo.authentication_notice",
                            "config.custom.x-y_z.\xC3\xA9t\xC3\xA9", "config.qen.rtmp.addr"}) {
        ASSERT_TRUE(s.editor->updateSetting(key, "<a & \"b\">", error)) << key << error;
        EXPECT_EQ(s.load_again()->tree().get<std::string>(key), "<a & \"b\">") << key;
    }
    EXPECT_EQ(s.load_again()->tree().get_child("config.qen.rtmp").size(), 2u);
}

TEST(DomainName, RenamesTheServedDomainWhateverItsElementsAreCalled) {
    supervisor s(
        "<site><names><host>Old.example</host><host>alias.example</host></names>"
        "<path>$ROOT/www</path></site>");
    const std::string before = read_file(s.file);
    std::string error;
    EXPECT_EQ(error_of(s.editor->set_domain_name("", error), error), bad_domain_name);
    EXPECT_EQ(read_file(s.file), before);

    ASSERT_TRUE(s.editor->set_domain_name("New.Example", error)) << error;
    const std::string saved = read_file(s.file);
    EXPECT_NE(saved.find("<site><names><host>New.Example</host><host>alias.example</host>"
                         "</names>"),
              std::string::npos)
        << saved;
    const auto fresh = s.load_again();
    EXPECT_EQ(served_domains(*fresh), served_domains(*s.config));
    EXPECT_EQ(fresh->domains().count("old.example"), 0u);
    EXPECT_EQ(fresh->domains().count("new.example"), 1u);

    // The renamed domain still takes new virtual directories.
    fs::create_directories(s.dir / "media");
    EXPECT_EQ(s.add("media", (s.dir / "media").string()), "(succeeded)");
    EXPECT_EQ(s.load_again()->domains().at("new.example")->virtual_dirs.count("media"), 1u);
}

TEST(DomainName, WithTwoDomainsTheServedOneIsRenamed) {
    // The domain whose name sorts first is served, wherever it stands.
    supervisor s(
        "<domain><names><name>zeta.example</name></names><path>/z</path></domain>"
        "<domain><names><name>alpha.example</name></names><path>$ROOT/www</path></domain>");
    std::string error;
    // A name the other domain has would take its visitors.
    EXPECT_EQ(error_of(s.editor->set_domain_name("Zeta.example", error), error), bad_domain_name);
    ASSERT_TRUE(s.editor->set_domain_name("beta.example", error)) << error;
    ASSERT_TRUE(s.editor->set_domain_name("Beta.Example", error)) << error;

    const auto fresh = s.load_again();
    EXPECT_EQ(served_domains(*fresh), served_domains(*s.config));
    EXPECT_EQ(fresh->domains().at("zeta.example")->path, "/z");
    EXPECT_EQ(fresh->domains().at("beta.example")->path, (s.dir / "www").string());
    EXPECT_EQ(fresh->domains().size(), 2u);

    fs::create_directories(s.dir / "media");
    EXPECT_EQ(s.add("media", (s.dir / "media").string()), "(succeeded)");
    EXPECT_EQ(s.load_again()->domains().at("beta.example")->virtual_dirs.count("media"), 1u);
    EXPECT_TRUE(s.load_again()->domains().at("zeta.example")->virtual_dirs.empty());
}

TEST(DomainName, TheServedDomainIsTheOneItsSmallestNameLeadsTo) {
    // The served domain's first name leads to the domain before it.
    supervisor s(
        "<domain><names><name>b.example</name></names><path>/b</path></domain>"
        "<domain><names><name>b.example</name><name>a.example</name></names>"
        "<path>$ROOT/www</path></domain>");
    fs::create_directories(s.dir / "media");
    EXPECT_EQ(s.add("media", (s.dir / "media").string()), "(succeeded)");
    std::string error;
    ASSERT_TRUE(s.editor->set_domain_name("c.example", error)) << error;

    const auto fresh = s.load_again();
    EXPECT_EQ(served_domains(*fresh), served_domains(*s.config));
    EXPECT_TRUE(fresh->domains().at("b.example")->virtual_dirs.empty());
    EXPECT_EQ(fresh->domains().at("b.example")->path, "/b");
    EXPECT_EQ(fresh->domains().at("c.example")->virtual_dirs.count("media"), 1u);
    EXPECT_EQ(fresh->domains().at("c.example"), fresh->domains().at("a.example"));
}

TEST(ConfigurationChanges, AFailedSaveIsAFailureAndTheChangeStaysLoaded) {
    supervisor s;
    fs::create_directories(s.dir / "media");
    std::string error;
    {
        supervisor::folder_away away(s);
        EXPECT_FALSE(s.editor->addVirtualDir("media", (s.dir / "media").string(), error));
        EXPECT_EQ(
            error.rfind(dirs_failed + "filesystem error: Can't create file: Not a directory", 0),
            0u)
            << error;
        EXPECT_EQ(s.config->domains().at("example.com")->virtual_dirs.count("media"), 1u);

        EXPECT_FALSE(s.editor->set_domain_name("new.example", error));
        EXPECT_EQ(error.rfind("EXCEPTION:filesystem error: Can't create file: Not a directory", 0),
                  0u)
            << error;
        EXPECT_EQ(s.config->domains().count("new.example"), 1u);

        error = "left over";
        EXPECT_FALSE(s.editor->updateSetting("config.qen.rtmp.port", "1940", error));
        EXPECT_EQ(error, "");
        string_map settings;
        ASSERT_TRUE(s.editor->get_settings(settings, error));
        EXPECT_EQ(settings.at("config.qen.rtmp.port"), "1940");
    }
    // The next save that succeeds writes all of it.
    ASSERT_TRUE(s.editor->updateSetting("config.qen.idle_timeout", "30", error)) << error;
    const auto fresh = s.load_again();
    EXPECT_EQ(served_domains(*fresh), served_domains(*s.config));
    EXPECT_EQ(fresh->settings().rtmp_port, 1940);
}

// Input that would break the file, the servers' configurations rendered
// from it, or the folders it names: refused before anything changes.
TEST(ConfigurationChanges, HostileInputChangesNothing) {
    enum class kind { dir_name, local_path, setting_key, setting_value, domain_name };
    struct hostile {
        kind what;
        std::string input;
        std::string answer;
    };
    const std::string not_file_name = dirs_failed + "The name is not a valid file name";
    const std::string spaced = dirs_failed + "The name holds a space or a control character";
    const std::string bad_key = settings_failed + "Bad setting key";
    const std::string bad_value = settings_failed + "The value holds a control character";
    const hostile cases[] = {
        {kind::dir_name, "..", not_file_name},
        {kind::dir_name, "a/b", not_file_name},
        {kind::dir_name, "a\nb", spaced},
        {kind::dir_name, "a\rb", spaced},
        {kind::dir_name, "a b", spaced},
        {kind::dir_name, "a\tb", spaced},
        {kind::dir_name, "a\"b", not_file_name},
        {kind::dir_name, "a\0b"s, not_file_name},
        {kind::dir_name, std::string(300, 'd'), not_file_name},
        {kind::dir_name, std::string(60000, 'd'), not_file_name},
        {kind::local_path, "media\nAlias", bad_local_path},
        {kind::local_path, "media\"q", bad_local_path},
        {kind::local_path, "media\\q", bad_local_path},
        {kind::setting_key, "config.a b", bad_key},
        {kind::setting_key, "config..x", bad_key},
        {kind::setting_key, "config.x.", bad_key},
        {kind::setting_key, "config.", bad_key},
        {kind::setting_key, ".config.x", bad_key},
        {kind::setting_key, "config.<xmlattr>.x", bad_key},
        {kind::setting_key, "config.<xmlcomment>", bad_key},
        {kind::setting_key, "config.a<b", bad_key},
        {kind::setting_key, "config.1x", bad_key},
        {kind::setting_key, "config.ns:x", bad_key},
        {kind::setting_key, "config", bad_key},
        {kind::setting_key, "other.x", bad_key},
        {kind::setting_key, "", bad_key},
        {kind::setting_key, "config.qen.domains.domain.path", "BAD_PARAM:Domain path is not set"},
        {kind::setting_key, "config.qen.domains.second", "BAD_PARAM:No such node (names)"},
        {kind::setting_value, "1940\n</port>", bad_value},
        {kind::setting_value, "1940\0"s, bad_value},
        {kind::domain_name, "a.example\nb", bad_domain_name},
        {kind::domain_name, "a.example b", bad_domain_name},
        {kind::domain_name, "a.example/b", bad_domain_name},
        {kind::domain_name, "a\"b", bad_domain_name},
        {kind::domain_name, "a%b", bad_domain_name},
        {kind::domain_name, std::string(254, 'h'), bad_domain_name},
        {kind::domain_name, std::string(300, 'h'), bad_domain_name},
    };
    supervisor s;
    // Folders of these names exist: only their names stop them.
    for (const char* dir : {"media\nAlias", "media\"q", "media\\q"}) {
        fs::create_directories(s.dir / dir);
    }
    const std::string media = (s.dir / "media").string();
    fs::create_directories(media);
    for (const auto& c : cases) {
        const std::string shown = c.input.substr(0, 40);
        const tree_snapshot before = snapshot(s.dir.path());
        const auto loaded_before = served_domains(*s.config);
        std::string error;
        bool ok = false;
        switch (c.what) {
            case kind::dir_name:
                ok = s.editor->addVirtualDir(c.input, media, error);
                break;
            case kind::local_path:
                ok = s.editor->addVirtualDir("media", (s.dir / c.input).string(), error);
                break;
            case kind::setting_key:
                ok = s.editor->updateSetting(c.input, "", error);
                break;
            case kind::setting_value:
                ok = s.editor->updateSetting("config.qen.rtmp.port", c.input, error);
                break;
            case kind::domain_name:
                ok = s.editor->set_domain_name(c.input, error);
                break;
        }
        EXPECT_EQ(error_of(ok, error), c.answer) << shown;
        EXPECT_EQ(changes_since(before, s.dir.path()), std::vector<std::string>{}) << shown;
        EXPECT_EQ(served_domains(*s.config), loaded_before) << shown;
        EXPECT_EQ(s.load_again()->tree(), s.config->tree()) << shown;
    }
    // The valid counterparts pass.
    std::string error;
    EXPECT_EQ(s.add("Media-1.x", media), "(succeeded)");
    EXPECT_TRUE(s.editor->set_domain_name(std::string(253, 'h'), error)) << error;
    EXPECT_TRUE(s.editor->updateSetting("config.x1._y-z", "a\x7E b", error)) << error;
}

}  // namespace
