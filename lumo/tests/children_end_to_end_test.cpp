// The process manager with the real programs: the database server, Apache
// with PHP and qen, on an installation root made by scripts/lumo-root.sh,
// with the production bounds.
#include <gtest/gtest.h>
#include <signal.h>

#include <set>

#include "lumo/lumo_proc_mgr.hpp"
#include "lumo/tests/children_test_support.hpp"
#include "platform/testing/process_groups.hpp"
#include "platform/testing/test_support.hpp"
#include "rtmp/tests/rtmp_test_support.hpp"

namespace {

using namespace std::chrono_literals;
using child = lumo::lumo_proc_mgr::child;
using lumo_test::distinct_free_ports;
using lumo_test::http_get;
using lumo_test::http_status;
using platform::testing::read_file;
using platform::testing::run;
using platform::testing::write_file;
namespace fs = std::filesystem;

TEST(ChildrenEndToEnd, RealServersStartServeSurviveKillsAndStop) {
    if (const auto missing = lumo_test::missing_for_real_servers({"mariadb"})) {
        GTEST_SKIP() << *missing << " is missing";
    }

    // Apache's workers run as www-data and read these folders.
    platform::testing::temp_dir dir;
    fs::permissions(dir.path(), fs::perms(0755));
    const fs::path root = dir / "root";
    lumo_test::make_root(root, {QEN_BINARY, {}, {}});
    const fs::path media = dir / "media";
    fs::create_directories(dir / "www");
    fs::create_directories(media);
    fs::permissions(media, fs::perms(0755));
    write_file(media / "clip.txt", "streamed bytes\n");
    write_file(media / ".flaccess",
               "<config><qen_app><play_password>secret</play_password>"
               "</qen_app></config>\n");
    write_file(root / "htdocs/ini.php", "<?php echo php_ini_loaded_file();\n");
    for (const fs::path& file :
         {media / "clip.txt", media / ".flaccess", root / "htdocs/ini.php"}) {
        fs::permissions(file, fs::perms(0644));
    }

    const auto ports = distinct_free_ports(4);
    const unsigned short rtmp = ports[0], mysql = ports[1], admin = ports[2], streaming = ports[3];
    const fs::path config_file = dir / "lumo.xml";
    lumo_test::write_config(config_file,
                            "<rtmp><addr>127.0.0.1</addr><port>" + std::to_string(rtmp) +
                                "</port></rtmp><rtmfp><disabled>1</disabled></rtmfp>",
                            {{{"localhost"}, (dir / "www").string(), {{"media", media.string()}}}},
                            "<path>" + root.string() + "</path><mysql_port>" +
                                std::to_string(mysql) + "</mysql_port><web_admin_port>" +
                                std::to_string(admin) + "</web_admin_port><http_streaming_port>" +
                                std::to_string(streaming) + "</http_streaming_port>");
    const qen::qen_config config(config_file);

    // Whatever happens, nothing is left running: the manager stops its
    // children, and the killer takes what it would have missed.
    platform::testing::group_killer killer;
    std::set<pid_t> groups;
    std::mutex lock;
    auto manager = std::make_unique<lumo::lumo_proc_mgr>(config, lock);
    const auto watch = [&](child which) {
        const auto pid = manager->process_id(which);
        EXPECT_TRUE(pid.has_value());
        if (pid) {
            killer.add(*pid);
            groups.insert(*pid);
        }
        return pid.value_or(-1);
    };
    const auto server_logs = [&] {
        return "\n--- mariadbd.err\n" + read_file(root / "mysql/data/mariadbd.err") +
               "\n--- admin_error.log\n" + read_file(root / "apache/logs/admin_error.log") +
               "\n--- stream_error.log\n" + read_file(root / "apache/logs/stream_error.log");
    };

    std::string error;
    ASSERT_TRUE(manager->start_web_and_db(error)) << error << server_logs();
    const pid_t mariadbd = watch(child::mysql);
    watch(child::web_admin);

    const auto query = run({"mariadb", "--socket=" + (root / "mysql/run/mysqld.sock").string(),
                            "-N", "-B", "-e", "SELECT 6 * 7"},
                           60s);
    EXPECT_EQ(query.out, "42\n") << query.err << server_logs();
    EXPECT_EQ(http_get(admin, "/ini.php"), (root / "php/php.ini").string()) << server_logs();

    ASSERT_TRUE(manager->start_media_services(error)) << error << server_logs();
    const pid_t qen = watch(child::media_server);
    const pid_t apache = watch(child::http_streaming);
    const auto serving = [&](const char* when) {
        rtmp_test::rtmp_client client(rtmp);
        EXPECT_TRUE(client.connect_url("rtmp://localhost:" + std::to_string(rtmp) + "/media"))
            << when;
        EXPECT_EQ(http_get(streaming, "/media/clip.txt"), "streamed bytes\n")
            << when << server_logs();
        EXPECT_EQ(http_status(streaming, "/media/.flaccess"), "403") << when;
    };
    serving("first start");

    // Killed children are seen, and their ports are free for a new start.
    ASSERT_EQ(::kill(qen, SIGKILL), 0);
    ASSERT_EQ(::kill(apache, SIGKILL), 0);
    EXPECT_TRUE(lumo_test::wait_not_running(*manager, child::media_server));
    EXPECT_TRUE(lumo_test::wait_not_running(*manager, child::http_streaming));
    EXPECT_TRUE(platform::testing::wait_group_gone(apache, 30s)) << "Apache's workers are left";
    ASSERT_TRUE(manager->start_media_services(error)) << error << server_logs();
    watch(child::media_server);
    watch(child::http_streaming);
    serving("restart");

    ASSERT_EQ(::kill(mariadbd, SIGKILL), 0);
    EXPECT_TRUE(lumo_test::wait_not_running(*manager, child::mysql));
    EXPECT_FALSE(manager->start_media_services(error));
    EXPECT_EQ(error, "Start web & db first");

    const auto began = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> held(lock);
        manager->stop_all();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - began, 20s);
    for (const pid_t group : groups) {
        EXPECT_TRUE(platform::testing::live_processes_in_group(group).empty()) << group;
    }
    manager.reset();
}

}  // namespace
