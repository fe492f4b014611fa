#include "qen/qen_config.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/testing/test_support.hpp"

namespace {

using platform::testing::temp_dir;
using qen::qen_config;

const char* const one_domain = R"(
    <domains><domain><names><name>example.com</name></names><path>/srv/www</path></domain></domains>)";

std::string config_with(const std::string& qen_section) {
    return "<?xml version=\"1.0\"?>\n<config><qen>" + qen_section + "</qen></config>\n";
}

struct loaded {
    temp_dir dir;
    std::unique_ptr<qen_config> config;
    explicit loaded(const std::string& xml) {
        platform::testing::write_file(dir / "qen.xml", xml);
        config = std::make_unique<qen_config>(dir / "qen.xml");
    }
};

TEST(QenConfig, EmptySectionWithOneDomainGivesAllDefaults) {
    loaded l(config_with(one_domain));
    const auto& s = l.config->settings();
    EXPECT_TRUE(s.rtmp_enabled);
    EXPECT_EQ(s.rtmp_addr, "0.0.0.0");
    EXPECT_EQ(s.rtmp_port, 1935);
    EXPECT_TRUE(s.rtmfp_enabled);
    EXPECT_EQ(s.rtmfp_port, 1935);
    EXPECT_EQ(s.detect_nat_port1, 1936);
    EXPECT_EQ(s.detect_nat_port2, 1937);
    EXPECT_EQ(s.max_sessions_per_ip, 256);
    EXPECT_EQ(s.max_groups_per_session, 1000);
    EXPECT_EQ(s.idle_timeout, 60);
    EXPECT_EQ(s.app_update_interval, 60);
    EXPECT_EQ(s.app_max_idle_time, 60);
    EXPECT_EQ(l.config->default_domain(), nullptr);
    EXPECT_TRUE(l.config->path().is_absolute());
}

TEST(QenConfig, ReadsEveryKey) {
    loaded l(config_with(R"(
        <rtmp><disabled>1</disabled><addr>127.0.0.1</addr><port>19350</port></rtmp>
        <rtmfp><disabled>2</disabled><port>1</port><detect_nat_port1>2</detect_nat_port1>
               <detect_nat_port2>3</detect_nat_port2><max_sessions_per_ip>4</max_sessions_per_ip>
               <max_groups_per_session>5</max_groups_per_session></rtmfp>
        <idle_timeout>6</idle_timeout><app_update_interval>7</app_update_interval>
        <app_max_idle_time>8</app_max_idle_time>)" +
                         std::string(one_domain)));
    const auto& s = l.config->settings();
    EXPECT_FALSE(s.rtmp_enabled);
    EXPECT_EQ(s.rtmp_addr, "127.0.0.1");
    EXPECT_EQ(s.rtmp_port, 19350);
    EXPECT_FALSE(s.rtmfp_enabled);
    EXPECT_EQ(s.rtmfp_port, 1);
    EXPECT_EQ(s.detect_nat_port1, 2);
    EXPECT_EQ(s.detect_nat_port2, 3);
    EXPECT_EQ(s.max_sessions_per_ip, 4);
    EXPECT_EQ(s.max_groups_per_session, 5);
    EXPECT_EQ(s.idle_timeout, 6);
    EXPECT_EQ(s.app_update_interval, 7);
    EXPECT_EQ(s.app_max_idle_time, 8);
}

struct port_case {
    const char* text;
    std::uint16_t port;
};

TEST(QenConfig, PortTextsAsTheyConvert) {
    const port_case cases[] = {
        {"1936", 1936}, {" 1940 ", 1940}, {"1", 1},   {"65535", 65535},
        {"abc", 1935},  {"12ab", 1935},   {"", 1935}, {"1.5", 1935},
    };
    for (const auto& c : cases) {
        loaded l(config_with("<rtmp><port>" + std::string(c.text) + "</port></rtmp>" + one_domain));
        EXPECT_EQ(l.config->settings().rtmp_port, c.port) << "port text \"" << c.text << '"';
    }
}

// A number that no port or time can be is refused: kept, it would listen
// elsewhere (16 bits of 70000 are 4464) or cut every connection (a negative
// idle time-out).
TEST(QenConfig, RefusesPortsAndTimesOutOfRange) {
    const struct {
        const char* key;
        const char* text;
        const char* message;
    } cases[] = {
        {"rtmp.port", "70000", "config.qen.rtmp.port is not a port from 1 to 65535: 70000"},
        {"rtmp.port", "65536", "config.qen.rtmp.port is not a port from 1 to 65535: 65536"},
        {"rtmp.port", "0", "config.qen.rtmp.port is not a port from 1 to 65535: 0"},
        {"rtmp.port", "-1", "config.qen.rtmp.port is not a port from 1 to 65535: -1"},
        {"rtmp.port", "99999999999999999999",
         "config.qen.rtmp.port is not a port from 1 to 65535: 99999999999999999999"},
        {"rtmfp.port", "65536", "config.qen.rtmfp.port is not a port from 1 to 65535: 65536"},
        {"rtmfp.detect_nat_port1", "-1936",
         "config.qen.rtmfp.detect_nat_port1 is not a port from 1 to 65535: -1936"},
        {"rtmfp.detect_nat_port2", "0",
         "config.qen.rtmfp.detect_nat_port2 is not a port from 1 to 65535: 0"},
        {"idle_timeout", "-1", "config.qen.idle_timeout is not a time from 0 to 2147483647: -1"},
        {"idle_timeout", "2147483648",
         "config.qen.idle_timeout is not a time from 0 to 2147483647: 2147483648"},
        {"app_update_interval", "-60",
         "config.qen.app_update_interval is not a time from 0 to 2147483647: -60"},
        {"app_max_idle_time", " -99999999999999999999 ",
         "config.qen.app_max_idle_time is not a time from 0 to 2147483647:  "
         "-99999999999999999999 "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " = " + c.text);
        boost::property_tree::ptree tree;
        tree.put("config.qen.domains.domain.names.name", "example.com");
        tree.put("config.qen.domains.domain.path", "/srv/www");
        tree.put("config.qen." + std::string(c.key), c.text);
        try {
            qen_config::check(tree);
            ADD_FAILURE() << "loaded";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }

    // The ports of a disabled server are never opened.
    loaded disabled(
        config_with("<rtmp><disabled>1</disabled><port>0</port></rtmp>"
                    "<rtmfp><disabled>1</disabled><port>70000</port>"
                    "<detect_nat_port1>-1</detect_nat_port1></rtmfp>" +
                    std::string(one_domain)));
    EXPECT_EQ(disabled.config->settings().rtmp_port, 1935);
    EXPECT_EQ(disabled.config->settings().rtmfp_port, 1935);
    EXPECT_EQ(disabled.config->settings().detect_nat_port1, 1936);

    // The ends of the ranges load.
    loaded l(
        config_with("<rtmp><port>65535</port></rtmp><rtmfp><port>1</port></rtmfp>"
                    "<idle_timeout>0</idle_timeout><app_update_interval>2147483647"
                    "</app_update_interval>" +
                    std::string(one_domain)));
    EXPECT_EQ(l.config->settings().rtmp_port, 65535);
    EXPECT_EQ(l.config->settings().rtmfp_port, 1);
    EXPECT_EQ(l.config->settings().idle_timeout, 0);
    EXPECT_EQ(l.config->settings().app_update_interval, 2147483647);
}

TEST(QenConfig, DomainsNamesAndVirtualDirectories) {
    loaded l(config_with(R"(<domains>
        <domain>
          <names><name>Example.COM</name><name>www.example.com</name></names>
          <path>/srv/Media</path>
          <virtual_dirs>
            <virtual_dir><name>Live</name><path>/srv/Live</path></virtual_dir>
            <virtual_dir><name>Live</name><path>/srv/second</path></virtual_dir>
            <!-- a comment is not a virtual directory -->
          </virtual_dirs>
        </domain>
        <second><names><n>example.com</n><n>other.org</n></names><path>/srv/other</path></second>
      </domains>)"));
    const auto& domains = l.config->domains();
    ASSERT_EQ(domains.size(), 3u);
    const auto first = domains.at("example.com");
    EXPECT_EQ(domains.at("www.example.com"), first);
    EXPECT_NE(domains.at("other.org"), first) << "the first domain keeps a shared name";
    EXPECT_EQ(first->names, (std::deque<std::string>{"example.com", "www.example.com"}));
    EXPECT_EQ(first->path, "/srv/Media") << "paths keep their case";
    ASSERT_EQ(first->virtual_dirs.size(), 1u);
    EXPECT_EQ(first->virtual_dirs.at("Live"), "/srv/Live") << "the first of a name is kept";
}

TEST(QenConfig, TheLastDefaultDomainWins) {
    loaded l(config_with(R"(<domains>
        <d><names><n>a</n></names><path>/a</path><default>true</default></d>
        <d><names><n>b</n></names><path>/b</path><default>1</default></d>
        <d><names><n>c</n></names><path>/c</path><default>false</default></d>
        <d><names><n>a</n></names><path>/d</path><default>maybe</default></d>
      </domains>)"));
    ASSERT_NE(l.config->default_domain(), nullptr);
    EXPECT_EQ(l.config->default_domain()->path, "/b");
}

struct failure_case {
    const char* what;
    std::string xml;
    const char* message;  // a part of the exception's text
};

TEST(QenConfig, RefusesBrokenFilesWithTheirReason) {
    const failure_case cases[] = {
        {"no domains node", config_with("<rtmp/>"), "No such node (config.qen.domains)"},
        {"empty domain list", config_with("<domains/>"), "You should at least have one domain"},
        {"domain without names", config_with("<domains><d><path>/x</path></d></domains>"),
         "No such node (names)"},
        {"names without children", config_with("<domains><d><names/><path>/x</path></d></domains>"),
         "Bad domain names"},
        {"domain without path", config_with("<domains><d><names><n>a</n></names></d></domains>"),
         "No such node (path)"},
        {"empty path", config_with("<domains><d><names><n>a</n></names><path/></d></domains>"),
         "Domain path is not set"},
        {"virtual dir without path",
         config_with("<domains><d><names><n>a</n></names><path>/x</path>"
                     "<virtual_dirs><v><name>n</name></v></virtual_dirs></d></domains>"),
         "No such node (path)"},
        {"malformed XML", "<config><qen><domains>", "qen.xml"},
        {"empty file", "", "No such node (config.qen.domains)"},
    };
    for (const auto& c : cases) {
        temp_dir dir;
        platform::testing::write_file(dir / "qen.xml", c.xml);
        try {
            qen_config config(dir / "qen.xml");
            ADD_FAILURE() << c.what << ": loaded";
        } catch (const std::exception& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
                << c.what << ": " << e.what();
        }
    }
}

TEST(QenConfig, AMissingFileNamesItself) {
    temp_dir dir;
    try {
        qen_config config(dir / "absent.xml");
        FAIL() << "loaded";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("absent.xml"), std::string::npos) << e.what();
    }
}

}  // namespace
