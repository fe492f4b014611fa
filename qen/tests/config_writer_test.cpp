#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/testing/test_support.hpp"
#include "qen/qen_config.hpp"
#include "qen/tests/config_test_support.hpp"

namespace {

namespace fs = std::filesystem;
using platform::testing::folder_entries;
using platform::testing::read_file;
using platform::testing::temp_dir;
using platform::testing::write_file;
using qen::qen_config;
using qen_test::served_domains;

const std::string declaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

struct config_file {
    temp_dir dir;
    fs::path file = dir / "etc/qen.xml";
    std::unique_ptr<qen_config> config;

    explicit config_file(const std::string& xml) {
        fs::create_directories(file.parent_path());
        write_file(file, xml);
        config = std::make_unique<qen_config>(file);
    }

    std::unique_ptr<qen_config> load_again() const { return std::make_unique<qen_config>(file); }

    void expect_saved_state_loads_back() const {
        const auto fresh = load_again();
        EXPECT_EQ(fresh->tree(), config->tree());
        EXPECT_EQ(served_domains(*fresh), served_domains(*config));
    }
};

TEST(ConfigWriter, AHandWrittenFileIsSavedInTheWritersLayout) {
    config_file f(R"(<?xml version="1.0"?>
<!-- this machine -->
<config>
    <qen>
        <!-- clients come here -->
        <rtmp>
            <port> 1940 </port>
            <addr>10.0.0.1</addr>
        </rtmp>
        <domains>
            <domain>
                <names><name>Example.com</name><name>www.example.com</name></names>
                <path>/srv/www</path>
                <virtual_dirs>
                    <virtual_dir><name>Media</name><path>/srv/Media</path></virtual_dir>
                </virtual_dirs>
            </domain>
        </domains>
    </qen>
    <lumo><server_admin_ipc_pwd>a &lt;b&gt; &amp; "c"</server_admin_ipc_pwd></lumo>
</config>
)");
    ASSERT_TRUE(f.config->save());
    const std::string saved = read_file(f.file);
    EXPECT_EQ(saved, declaration +
                         "<!-- this machine --><config><qen><!-- clients come here --><rtmp>"
                         "<port> 1940 </port><addr>10.0.0.1</addr></rtmp><domains><domain><names>"
                         "<name>Example.com</name><name>www.example.com</name></names>"
                         "<path>/srv/www</path><virtual_dirs><virtual_dir><name>Media</name>"
                         "<path>/srv/Media</path></virtual_dir></virtual_dirs></domain></domains>"
                         "</qen><lumo><server_admin_ipc_pwd>a &lt;b&gt; &amp; &quot;c&quot;"
                         "</server_admin_ipc_pwd></lumo></config>");
    f.expect_saved_state_loads_back();
    EXPECT_EQ(f.load_again()->settings().rtmp_port, 1940);
    EXPECT_EQ(f.load_again()->tree().get<std::string>("config.lumo.server_admin_ipc_pwd"),
              "a <b> & \"c\"");

    ASSERT_TRUE(f.config->save());
    EXPECT_EQ(read_file(f.file), saved);
    ASSERT_TRUE(f.load_again()->save());
    EXPECT_EQ(read_file(f.file), saved);
}

TEST(ConfigWriter, TheFileKeepsItsPermissionsOwnerAndLinks) {
    config_file f(
        "<config><qen><domains><domain><names><name>a</name></names><path>/w</path></domain>"
        "</domains></qen></config>");
    for (const auto mode : {fs::perms(0600), fs::perms(0640), fs::perms(0604)}) {
        fs::permissions(f.file, mode);
        ASSERT_TRUE(f.config->save());
        EXPECT_EQ(fs::status(f.file).permissions(), mode);
    }
    if (::geteuid() == 0) {
        // A service running as root keeps the file its owner's.
        ASSERT_EQ(::chown(f.file.c_str(), 4321, 4322), 0);
        ASSERT_TRUE(f.config->save());
        struct stat saved {};
        ASSERT_EQ(::stat(f.file.c_str(), &saved), 0);
        EXPECT_EQ(saved.st_uid, 4321u);
        EXPECT_EQ(saved.st_gid, 4322u);
        EXPECT_EQ(saved.st_mode & 07777, 0604u);
    }

    // Saved through a link, the link stays and the file it names changes.
    const fs::path link = f.dir / "qen.xml";
    fs::create_symlink(f.file, link);
    qen_config linked(link);
    linked.tree().put("config.qen.rtmp.port", "1950");
    ASSERT_TRUE(linked.save());
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(qen_config(f.file).settings().rtmp_port, 1950);
    EXPECT_EQ(fs::status(f.file).permissions(), fs::perms(0604));
}

TEST(ConfigWriter, ASaveThatCannotCompleteLeavesTheOldFile) {
    config_file f(
        "<config><qen><domains><domain><names><name>a</name></names><path>/w</path></domain>"
        "</domains></qen></config>");
    const std::string old = read_file(f.file);
    f.config->tree().put("config.qen.rtmp.port", "1950");

    // The disk fills up: the new content cannot be written whole.
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit small{16, limit.rlim_max};
    const auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string reason;
    const bool saved = f.config->save(reason);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::signal(SIGXFSZ, old_handler);
    EXPECT_FALSE(saved);
    EXPECT_NE(reason.find("File too large"), std::string::npos) << reason;
    EXPECT_EQ(read_file(f.file), old);
    EXPECT_EQ(folder_entries(f.file.parent_path()), std::vector<std::string>{"qen.xml"});

    // The folder is no longer there: a file stands in its place.
    fs::rename(f.file.parent_path(), f.dir / "moved");
    write_file(f.file.parent_path(), "in the way");
    reason.clear();
    EXPECT_FALSE(f.config->save(reason));
    EXPECT_NE(reason.find("Not a directory"), std::string::npos) << reason;
    EXPECT_FALSE(f.config->save());
    EXPECT_EQ(read_file(f.dir / "moved/qen.xml"), old);

    // The change is kept, and saved once the folder is back.
    fs::remove(f.file.parent_path());
    fs::rename(f.dir / "moved", f.file.parent_path());
    ASSERT_TRUE(f.config->save());
    EXPECT_EQ(f.load_again()->settings().rtmp_port, 1950);
}

TEST(ConfigWriter, StoringAVirtualDirectory) {
    config_file f(R"(<config><qen><domains>
        <domain><names><name>first.example</name></names><path>/one</path>
            <virtual_dirs><virtual_dir><name>old</name><path>/old</path></virtual_dir></virtual_dirs>
        </domain>
        <domain><names><name>Other.Example</name><name>Mixed.CASE</name></names><path>/two</path>
            <default>1</default></domain>
    </domains></qen></config>)");
    const auto before = f.config->tree();
    const auto served_before = served_domains(*f.config);

    // An unknown domain changes nothing.
    EXPECT_FALSE(f.config->store_domains("third.example", "x", "/x"));
    EXPECT_FALSE(f.config->store_domains("", "x", "/x"));
    EXPECT_EQ(f.config->tree(), before);
    EXPECT_EQ(served_domains(*f.config), served_before);

    // Found by any case; a domain without virtual directories gets them.
    ASSERT_TRUE(f.config->store_domains("mixed.case", "media", "/data/Media"));
    ASSERT_TRUE(f.config->store_domains("OTHER.example", "more", "/data/more"));
    const auto& other = *f.config->domains().at("other.example");
    EXPECT_EQ(other.virtual_dirs, (std::map<std::string, std::string>{{"media", "/data/Media"},
                                                                      {"more", "/data/more"}}));
    EXPECT_EQ(f.config->domains().at("first.example")->virtual_dirs.size(), 1u);

    // A name already there keeps its first path, now and when loaded again.
    ASSERT_TRUE(f.config->store_domains("first.example", "old", "/new"));
    EXPECT_EQ(f.config->domains().at("first.example")->virtual_dirs.at("old"), "/old");

    ASSERT_TRUE(f.config->save());
    const std::string saved = read_file(f.file);
    EXPECT_NE(saved.find("<default>1</default><virtual_dirs><virtual_dir><name>media</name>"
                         "<path>/data/Media</path></virtual_dir><virtual_dir><name>more</name>"
                         "<path>/data/more</path></virtual_dir></virtual_dirs></domain>"),
              std::string::npos)
        << saved;
    f.expect_saved_state_loads_back();
}

TEST(ConfigWriter, RenamingADomainKeepsTheTableAsALoadGivesIt) {
    // Element names other than the writer's own, a comment among the names,
    // and two domains that share a name.
    config_file f(R"(<config><qen><domains>
        <site><names><!-- main --><host>Old.example</host><host>alias.example</host></names>
            <path>/one</path></site>
        <site><names><host>shared.example</host><host>alias.example</host></names>
            <path>/two</path></site>
        <site><names><host>Third.example</host></names><path>/three</path></site>
    </domains></qen></config>)");
    EXPECT_FALSE(f.config->rename_domain("unknown.example", "x"));

    // The second domain: the alias it shares stays with the first one, as
    // a load gives it.
    ASSERT_TRUE(f.config->rename_domain("SHARED.example", "New.Example"));
    EXPECT_EQ(f.config->tree().get<std::string>("config.qen.domains.site.names.host"),
              "Old.example");
    EXPECT_EQ(f.config->domains().count("shared.example"), 0u);
    EXPECT_EQ(f.config->domains().at("new.example")->path, "/two");
    EXPECT_EQ(f.config->domains().at("alias.example")->path, "/one");
    ASSERT_TRUE(f.config->save());
    EXPECT_NE(read_file(f.file).find("<host>New.Example</host><host>alias.example</host>"),
              std::string::npos);
    f.expect_saved_state_loads_back();

    // A renamed first name that a later domain also holds moves to this one.
    ASSERT_TRUE(f.config->rename_domain("old.example", "third.EXAMPLE"));
    EXPECT_EQ(f.config->domains().at("third.example")->path, "/one");
    ASSERT_TRUE(f.config->save());
    f.expect_saved_state_loads_back();
}

TEST(ConfigWriter, CheckRefusesATreeThatWouldNotLoad) {
    config_file f(
        "<config><qen><domains><domain><names><name>a</name></names><path>/w</path></domain>"
        "</domains></qen></config>");
    EXPECT_NO_THROW(qen_config::check(f.config->tree()));

    const struct {
        const char* key;
        const char* message;
    } cases[] = {
        {"config.qen.domains.second", "No such node (names)"},
        {"config.qen.domains.domain.path", "Domain path is not set"},
    };
    for (const auto& c : cases) {
        auto tree = f.config->tree();
        tree.put(c.key, "");
        try {
            qen_config::check(tree);
            ADD_FAILURE() << c.key << " passed";
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()), c.message) << c.key;
        }
    }
}

}  // namespace
