#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "lumo_install/tests/installer_library.hpp"
#include "platform/testing/test_support.hpp"
#include "qen/qen_config.hpp"

namespace {

namespace fs = std::filesystem;
using namespace lumo_install_testing;
using platform::testing::read_file;
using platform::testing::temp_dir;
using platform::testing::write_file;

const std::string config_xml = R"(<?xml version="1.0" encoding="utf-8"?>
<config>
    <qen>
        <rtmp>
            <port>1935</port>
        </rtmp>
        <domains>
            <domain>
                <names><name>Example.com</name></names>
                <path>/srv/media</path>
            </domain>
        </domains>
    </qen>
    <lumo>
        <path>/opt/lumo</path>
        <authentication_notice>输入密码</authentication_notice>
    </lumo>
</config>
)";

// "配置" in UTF-8 and in GBK.
const std::string folder_utf8 = "\xE9\x85\x8D\xE7\xBD\xAE";
const std::string folder_gbk = "\xC5\xE4\xD6\xC3";

// A configuration file in a folder with a Chinese name.
struct config_file {
    temp_dir dir;
    fs::path file = dir / folder_utf8 / "qen.xml";

    explicit config_file(const std::string& xml = config_xml) {
        fs::create_directories(file.parent_path());
        write_file(file, xml);
    }

    // The path as an installer in a GBK machine hands it over.
    std::string gbk_path() const { return (dir / folder_gbk / "qen.xml").string(); }
};

struct config_deleter {
    void operator()(lumo_config* config) const { library().delete_config(config); }
};
using config_handle = std::unique_ptr<lumo_config, config_deleter>;

config_handle load(const std::string& path) {
    return config_handle(library().load_config_file(path.c_str()));
}

std::string get(lumo_config* config, const char* key, const char* fallback) {
    return whole_result([&](char* buffer, std::int32_t* length) {
        library().get_config(config, key, fallback, buffer, length);
    });
}

// A configuration file loaded through the library.
class LoadedConfiguration : public testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(config, nullptr); }

    const installer_library& lib = library();
    config_file f;
    config_handle config = load(f.file.string());
};

TEST_F(LoadedConfiguration, AFileIsLoadedAndItsValuesRead) {
    EXPECT_EQ(get(config.get(), "config.qen.rtmp.port", "1"), "1935");
    EXPECT_EQ(get(config.get(), "config.qen.domains.domain.names.name", ""), "Example.com");
    // Values are the file's bytes, UTF-8.
    EXPECT_EQ(get(config.get(), "config.lumo.authentication_notice", ""), "输入密码");
    EXPECT_EQ(get(config.get(), "config.lumo.web_admin_port", "8085"), "8085");
    EXPECT_EQ(get(config.get(), "config.lumo.web_admin_port", nullptr), "");
    EXPECT_EQ(get(config.get(), "", "none"), "none");
    EXPECT_EQ(get(config.get(), nullptr, "none"), "none");
}

TEST(Configuration, APathInTheLegacyCharsetIsFound) {
    config_file f;
    expect_with_charset("GBK", [&] {
        const auto config = load(f.gbk_path());
        if (config == nullptr) {
            return std::string("not loaded\n");
        }
        return mismatch("port", get(config.get(), "config.qen.rtmp.port", ""), "1935");
    });
    expect_with_charset(nullptr, [&] {
        return load(f.gbk_path()) == nullptr ? std::string() : "GBK bytes taken as UTF-8\n";
    });
}

TEST_F(LoadedConfiguration, ChangesAreSavedInTheWritersLayoutAndLoadAgain) {
    lib.set_config(config.get(), "config.qen.rtmp.port", "1940");
    lib.set_config(config.get(), "config.lumo.web.admin_port", "8185");
    lib.set_config(config.get(), "config.lumo.server_admin_ipc_pwd", "a<b>&\"c\"");
    lib.set_config(config.get(), "config.lumo.mysql_password", nullptr);
    EXPECT_EQ(get(config.get(), "config.lumo.web.admin_port", ""), "8185");
    EXPECT_EQ(read_file(f.file), config_xml) << "nothing is written before the save";

    ASSERT_TRUE(lib.save_config_file(config.get()));
    EXPECT_EQ(read_file(f.file),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "<config><qen><rtmp><port>1940</port></rtmp><domains><domain><names>"
              "<name>Example.com</name></names><path>/srv/media</path></domain></domains></qen>"
              "<lumo><path>/opt/lumo</path><authentication_notice>输入密码</authentication_notice>"
              "<web><admin_port>8185</admin_port></web>"
              "<server_admin_ipc_pwd>a&lt;b&gt;&amp;&quot;c&quot;</server_admin_ipc_pwd>"
              "<mysql_password/></lumo></config>");

    // The media server's own loader takes the file with the change.
    const qen::qen_config reloaded(f.file);
    EXPECT_EQ(reloaded.settings().rtmp_port, 1940);
    EXPECT_EQ(reloaded.tree().get<std::string>("config.lumo.server_admin_ipc_pwd"), "a<b>&\"c\"");
    EXPECT_TRUE(reloaded.domains().contains("example.com"));

    const auto again = load(f.file.string());
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(get(again.get(), "config.lumo.web.admin_port", ""), "8185");
}

TEST_F(LoadedConfiguration, AChangeTheServersWouldRefuseIsNotSaved) {
    lib.set_config(config.get(), "config.qen.domains.domain.path", "");
    EXPECT_FALSE(lib.save_config_file(config.get()));
    EXPECT_EQ(read_file(f.file), config_xml);

    lib.set_config(config.get(), "config.qen.domains.domain.path", "/srv/other");
    ASSERT_TRUE(lib.save_config_file(config.get()));
    EXPECT_EQ(qen::qen_config(f.file).domains().at("example.com")->path, "/srv/other");
}

TEST_F(LoadedConfiguration, KeysThatNameNoElementChangeNothing) {
    ASSERT_TRUE(lib.save_config_file(config.get()));
    const std::string saved = read_file(f.file);

    for (const char* key :
         {static_cast<const char*>(nullptr), "", ".", "config.", ".config", "config..qen",
          "config.a b", "config.<x>", "config.1st", "config.a&b", "config.a\"b", "config.a/b"}) {
        lib.set_config(config.get(), key, "value");
        EXPECT_EQ(get(config.get(), key, "unset"), "unset") << (key ? key : "null");
    }
    ASSERT_TRUE(lib.save_config_file(config.get()));
    EXPECT_EQ(read_file(f.file), saved);
}

TEST(Configuration, FilesThatWouldNotServeGiveNoHandle) {
    temp_dir dir;
    const std::string domain = "<domain><names><name>a</name></names><path>/srv</path></domain>";
    struct bad_file {
        const char* name;
        std::string xml;
    } files[] = {
        {"no domains", "<config><qen><rtmp><port>1935</port></rtmp></qen></config>"},
        {"an empty domain list", "<config><qen><domains/></qen></config>"},
        {"a domain without names",
         "<config><qen><domains><domain><path>/srv</path></domain></domains></qen></config>"},
        {"malformed XML", "<config><qen><domains>" + domain + "</domains></qen>"},
        {"no XML at all", "not a configuration"},
        {"empty", ""},
    };
    for (const auto& bad : files) {
        const fs::path file = dir / bad.name;
        write_file(file, bad.xml);
        EXPECT_EQ(load(file.string()), nullptr) << bad.name;
    }
    EXPECT_EQ(load((dir / "missing.xml").string()), nullptr);
    EXPECT_EQ(load(dir.path().string()), nullptr) << "a folder";
    EXPECT_EQ(load(""), nullptr);
    EXPECT_EQ(library().load_config_file(nullptr), nullptr);
}

TEST(Configuration, NoHandleGetsTheFailureResults) {
    const auto& lib = library();
    EXPECT_EQ(get(nullptr, "config.qen.rtmp.port", "1935"), "1935");
    EXPECT_EQ(get(nullptr, "config.qen.rtmp.port", nullptr), "");
    const copied cut = call_with_capacity(
        [&](char* buffer, std::int32_t* length) {
            lib.get_config(nullptr, "k", "fallback", buffer, length);
        },
        4);
    EXPECT_EQ(cut.text, "fal");
    EXPECT_TRUE(cut.terminated && cut.guard_intact);
    lib.set_config(nullptr, "config.qen.rtmp.port", "1");
    EXPECT_FALSE(lib.save_config_file(nullptr));
    lib.delete_config(nullptr);
}

TEST_F(LoadedConfiguration, ASaveThatCannotWriteFailsAndKeepsTheChange) {
    lib.set_config(config.get(), "config.qen.rtmp.port", "1940");

    // A file where the configuration's folder must be.
    fs::remove_all(f.file.parent_path());
    write_file(f.file.parent_path(), "in the way");
    EXPECT_FALSE(lib.save_config_file(config.get()));
    EXPECT_EQ(read_file(f.file.parent_path()), "in the way");

    fs::remove(f.file.parent_path());
    fs::create_directory(f.file.parent_path());
    ASSERT_TRUE(lib.save_config_file(config.get()));
    EXPECT_EQ(qen::qen_config(f.file).settings().rtmp_port, 1940);
}

}  // namespace
