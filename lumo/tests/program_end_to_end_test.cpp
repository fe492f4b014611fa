// The lumo program with the real programs: the database server, Apache with
// PHP and qen, on an installation root made by scripts/lumo-root.sh; a
// publisher and web clients that know nothing of the supervisor.
#include <gtest/gtest.h>
#include <signal.h>

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

TEST(LumoEndToEnd, ChannelsMadeOverTheAdminPortServeTheirClients) {
    if (const auto missing = missing_for_real_servers({"ffmpeg"})) {
        GTEST_SKIP() << *missing << " is missing";
    }

    lumo_fixture f(root_programs{QEN_BINARY, {}, {}});
    std::vector<unsigned short> ports;
    do {
        ports = distinct_free_ports(4);
    } while (std::find(ports.begin(), ports.end(), f.admin_port()) != ports.end());
    const unsigned short rtmp = ports[0], mysql = ports[1], web_admin = ports[2],
                         streaming = ports[3];
    f.write_config({.lumo_xml = "<mysql_port>" + std::to_string(mysql) +
                                "</mysql_port><web_admin_port>" + std::to_string(web_admin) +
                                "</web_admin_port><http_streaming_port>" +
                                std::to_string(streaming) + "</http_streaming_port>",
                    .qen_xml = "<rtmp><addr>127.0.0.1</addr><port>" + std::to_string(rtmp) +
                               "</port></rtmp><rtmfp><disabled>1</disabled></rtmfp>"});
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
    const fs::path index = live_dir / "cam.livesegments";
    ASSERT_TRUE(fs::exists(index)) << "no recording";
    EXPECT_FALSE(fs::is_empty(live_dir / "cam.segments"));

    EXPECT_EQ(http_get(streaming, live_path + "/cam.livesegments"), read_file(index));
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

}  // namespace
