// The lumo program with the real programs: the database server, Apache with
// PHP and qen, on an installation root made by scripts/lumo-root.sh; a
// publisher and web clients that know nothing of the supervisor.
#include <gtest/gtest.h>
#include <signal.h>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include <algorithm>

#include "lumo/tests/children_test_support.hpp"
#include "lumo/tests/lumo_program_support.hpp"
#include "platform/testing/media.hpp"
#include "platform/testing/process_groups.hpp"
#include "platform/testing/test_support.hpp"

namespace {

using namespace lumo_test;
using platform::testing::read_file;
using platform::testing::write_file;

constexpr auto stop_bound = 60s;

struct server_ports {
    unsigned short rtmp, mysql, web_admin, streaming;
};

// Writes the fixture's configuration with ports of the test's own for the
// children (RTMFP off), and more of config.lumo.
server_ports configure_ports(lumo_fixture& f, const std::string& lumo_xml = "") {
    std::vector<unsigned short> ports;
    do {
        ports = distinct_free_ports(4);
    } while (std::find(ports.begin(), ports.end(), f.admin_port()) != ports.end());
    const server_ports chosen{ports[0], ports[1], ports[2], ports[3]};
    f.write_config({.lumo_xml = "<mysql_port>" + std::to_string(chosen.mysql) +
                                "</mysql_port><web_admin_port>" + std::to_string(chosen.web_admin) +
                                "</web_admin_port><http_streaming_port>" +
                                std::to_string(chosen.streaming) + "</http_streaming_port>" +
                                lumo_xml,
                    .qen_xml = "<rtmp><addr>127.0.0.1</addr><port>" + std::to_string(chosen.rtmp) +
                               "</port></rtmp><rtmfp><disabled>1</disabled></rtmfp>"});
    return chosen;
}

TEST(LumoEndToEnd, ChannelsMadeOverTheAdminPortServeTheirClients) {
    if (const auto missing = missing_for_real_servers({"ffmpeg"})) {
        GTEST_SKIP() << *missing << " is missing";
    }

    lumo_fixture f(root_programs{QEN_BINARY, {}, {}});
    const auto [rtmp, mysql, web_admin, streaming] = configure_ports(f);
    const fs::path sample = f.dir() / "sample.flv";
    ASSERT_EQ(platform::testing::make_sample_flv(sample, 2), "");

    f.start();
    f.wait_started();
    const auto children = platform::testing::live_children_of(f.pid());
    EXPECT_EQ(children.size(), 4u);
    for (const unsigned short port : {rtmp, mysql, web_admin, streaming}) {
        EXPECT_TRUE(platform::testing::wait_for_tcp_port(port, 30s)) << port;
    }

    const auto admin = f.logged_in_client();
    const auto live = admin->call<rpc::string_map>(2, std::int32_t{0}, std::string("media"),
                                                   rpc::string_map{{"stream_name", "cam"}});
    ASSERT_EQ(live.error, "");
    const auto vod = admin->call<rpc::string_map>(
        2, std::int32_t{1}, std::string("media"),
        rpc::string_map{{"stream_name", "movie"}, {"play_password", "pw"}});
    ASSERT_EQ(vod.error, "");
    const std::string live_path = live.result.at("virtualPath");
    const std::string vod_path = vod.result.at("virtualPath");
    const fs::path live_dir = live.result.at("localPath");

    // The channel's path is the application, its name the stream; the
    // domain is known by "localhost" alone.
    const std::string app = live_path.substr(1);
    const auto publish = platform::testing::run(
        {"ffmpeg", "-hide_banner", "-loglevel", "warning", "-re", "-i", sample.string(), "-c",
         "copy", "-f", "flv", "-rtmp_app", app, "-rtmp_playpath", "cam",
         "rtmp://localhost:" + std::to_string(rtmp) + "/" + app},
        60s);
    EXPECT_EQ(publish.exit_code, 0) << publish.err;
    // The recording's files are opened and finished off the server's io
    // threads: they come a moment after the publish starts and ends.
    const fs::path index = live_dir / "cam.livesegments";
    ASSERT_TRUE(platform::testing::eventually([&] { return fs::exists(index); }, 20s))
        << "no recording";
    EXPECT_FALSE(fs::is_empty(live_dir / "cam.segments"));

    // The index is on disk from the recording's first moment and grows in
    // place until the finish has written its last segment: the site serves
    // the file as it stands, so the two agree once the finish is done.
    std::string served;
    EXPECT_TRUE(platform::testing::eventually(
        [&] {
            served = http_get(streaming, live_path + "/cam.livesegments");
            return served == read_file(index);
        },
        20s))
        << "served " << served.size() << " bytes, the file holds " << read_file(index).size();
    EXPECT_EQ(http_status(streaming, live_path + "/.flaccess"), "403");
    EXPECT_EQ(admin->call<bool>(7, live_path, false).error, "");
    EXPECT_EQ(http_status(streaming, live_path + "/cam.livesegments"), "403");

    // The play password guards the channel's media files.
    const fs::path movie = fs::path(vod.result.at("localPath")) / "movie.flv";
    fs::copy_file(sample, movie);
    fs::permissions(movie, fs::perms(0644));
    EXPECT_EQ(http_status(streaming, vod_path + "/movie.flv"), "401");
    EXPECT_EQ(http_status(streaming, vod_path + "/movie.flv", {"-u", ":wrong"}), "401");
    EXPECT_EQ(http_status(streaming, vod_path + "/movie.flv", {"-u", ":pw"}), "200");
    EXPECT_EQ(http_status(streaming, vod_path + "/.flaccess", {"-u", ":pw"}), "403");

    platform::testing::group_killer killer;
    for (const pid_t child : children) {
        killer.add(child);
    }
    const auto began = std::chrono::steady_clock::now();
    f.program().signal(SIGTERM);
    EXPECT_EQ(f.program().wait_for_exit(stop_bound), 0) << f.program().stderr_text();
    EXPECT_LT(std::chrono::steady_clock::now() - began, stop_bound);
    for (const pid_t child : children) {
        EXPECT_TRUE(platform::testing::live_processes_in_group(child).empty()) << child;
    }
}

// The site's pages reach its database through the account lumo-root.sh
// makes, over the socket and over TCP.
TEST(LumoEndToEnd, TheAdministrationSiteReachesItsDatabase) {
    if (const auto missing = missing_for_real_servers()) {
        GTEST_SKIP() << *missing << " is missing";
    }
    if (!fs::exists("/etc/php/8.2/mods-available/mysqli.ini")) {
        GTEST_SKIP() << "php8.2-mysql is missing";
    }
    lumo_fixture f(root_programs{QEN_BINARY, {}, {}});
    const auto ports = configure_ports(f);
    f.start();
    f.wait_started();

    boost::property_tree::ptree root_config;
    boost::property_tree::read_xml((f.root() / "lumo.xml").string(), root_config);
    const auto password = root_config.get<std::string>("config.lumo.mysql_password");
    ASSERT_FALSE(password.empty());
    const fs::path page = f.root() / "htdocs/database-check.php";
    platform::testing::write_file(
        page,
        "<?php\n"
        "mysqli_report(MYSQLI_REPORT_ERROR | MYSQLI_REPORT_STRICT);\n"
        "foreach (['socket' => 'localhost', 'tcp' => '127.0.0.1'] as $way => $host) {\n"
        "    $db = new mysqli($host, 'lumo', '" +
            password + "', 'lumo', " + std::to_string(ports.mysql) +
            ");\n"
            "    $db->query('CREATE TABLE IF NOT EXISTS visits (way VARCHAR(8))');\n"
            "    $db->query(\"INSERT INTO visits VALUES ('$way')\");\n"
            "    $row = $db->query(\"SELECT COUNT(*) FROM visits WHERE way = '$way'\")"
            "->fetch_row();\n"
            "    echo $way, $row[0] > 0 ? ' ok' : ' empty', \"\\n\";\n"
            "}\n");
    fs::permissions(page, fs::perms(0644));
    EXPECT_EQ(http_get(ports.web_admin, "/database-check.php"), "socket ok\ntcp ok\n");
}

// Paths are bytes of UTF-8 in every file the supervisor writes, whatever
// the legacy charset; only the password prompt, text for people, is written
// in it.
TEST(LumoEndToEnd, ALegacyCharsetLeavesPathsUnderNonAsciiFoldersWorking) {
    if (const auto missing = missing_for_real_servers()) {
        GTEST_SKIP() << *missing << " is missing";
    }
    lumo_fixture f(root_programs{QEN_BINARY, {}, {}});
    const std::string notice_utf8 = "\xE8\xBE\x93\xE5\x85\xA5\xE5\xAF\x86\xE7\xA0\x81";
    const std::string notice_gbk = "\xCA\xE4\xC8\xEB\xC3\xDC\xC2\xEB";
    const auto ports =
        configure_ports(f, "<authentication_notice>" + notice_utf8 + "</authentication_notice>");
    f.start("embed", {{"LUMO_ANSI_CHARSET", "GBK"}});
    f.wait_started();
    const auto admin = f.logged_in_client();

    // A virtual directory in a folder named in Chinese, served once the
    // media services start again.
    const fs::path folder = f.dir() / "\xE5\xAA\x92\xE4\xBD\x93";
    fs::create_directories(folder);
    ASSERT_EQ(admin->call<bool>(15, std::string("cn"), folder.string()).error, "");
    ASSERT_TRUE(admin->call<bool>(11).result);
    const auto started = admin->call<bool>(12);
    ASSERT_TRUE(started.result) << started.error;
    const std::string stream_conf = read_file(f.root() / "apache/conf/stream.conf");
    EXPECT_NE(stream_conf.find("Alias /cn \"" + folder.string() + "\""), std::string::npos)
        << stream_conf;

    const auto vod = admin->call<rpc::string_map>(
        2, std::int32_t{1}, std::string("cn"),
        rpc::string_map{{"stream_name", "movie"}, {"play_password", "pw"}});
    ASSERT_EQ(vod.error, "");
    const fs::path channel = vod.result.at("localPath");
    const std::string htaccess = read_file(channel / ".htaccess");
    EXPECT_NE(htaccess.find("AuthUserFile \"" + channel.string() + "/.htpasswd\""),
              std::string::npos)
        << htaccess;
    EXPECT_NE(htaccess.find("AuthName \"" + notice_gbk + "\""), std::string::npos) << htaccess;

    const fs::path movie = channel / "movie.flv";
    platform::testing::write_file(movie, "FLV");
    fs::permissions(movie, fs::perms(0644));
    const std::string movie_path = vod.result.at("virtualPath") + "/movie.flv";
    EXPECT_EQ(http_status(ports.streaming, movie_path), "401");
    EXPECT_EQ(http_status(ports.streaming, movie_path, {"-u", ":wrong"}), "401");
    EXPECT_EQ(http_status(ports.streaming, movie_path, {"-u", ":pw"}), "200");
}

}  // namespace
