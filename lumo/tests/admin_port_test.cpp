// The lumo program's administration port over the wire, on a root of
// stand-ins: login, every remote method with its effect seen from outside,
// hostile arguments, many connections at once, and clients that go away.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "foundation/segment_index.hpp"
#include "lumo/channel_manager.hpp"
#include "lumo/tests/channel_test_support.hpp"
#include "lumo/tests/lumo_program_support.hpp"
#include "qen/app_manager.hpp"
#include "qen/qen_config.hpp"
#include "rpc/rpc_frame.hpp"

namespace {

using namespace lumo_test;
using channel_testing::snapshot;
using platform::testing::read_file;
using rpc::call_status;
using rpc::string_map;

constexpr auto stop_bound = 60s;

// A reply as one line: "status N" for a failed call, else the primary
// result and the error text.
std::string describe(const call_result<bool>& reply) {
    if (reply.status != call_status::success) {
        return "status " + std::to_string(static_cast<int>(reply.status));
    }
    return std::string(reply.result ? "true" : "false") + " " + reply.error;
}

std::string describe(const call_result<string_map>& reply) {
    if (reply.status != call_status::success) {
        return "status " + std::to_string(static_cast<int>(reply.status));
    }
    std::string text = "{";
    for (const auto& [key, value] : reply.result) {
        text += (text.size() > 1 ? "," : "") + key + "=" + value;
    }
    return text + "} " + reply.error;
}

// The application the media server would build for a path, from the files
// as they are now.
qen::app_ptr app_at(const lumo_fixture& f, const std::string& path) {
    const qen::qen_config config(f.config_file());
    qen::app_manager apps(config.domains(), config.default_domain(), 0, 60);
    return apps.resolve_app_path(*config.domains().begin()->second, path);
}

segment_index index_at(const fs::path& file) {
    segment_index index;
    index.load(file);
    return index;
}

string_map channel_info(const lumo_fixture& f, const std::string& type, const std::string& levels,
                        const std::string& name) {
    return {{"virtualPath", "/media/" + type + "/" + levels + "/" + name},
            {"localPath", (f.media() / type / levels / name).string()},
            {"streamName", name},
            {"type", type},
            {"virtualDir", "media"}};
}

constexpr std::int32_t live = 0;
constexpr std::int32_t vod = 1;

TEST(LumoAdminPort, LoginUnlocksTheMethodsOfItsOwnConnection) {
    lumo_fixture f;
    f.start();
    ASSERT_TRUE(f.wait_serving()) << f.program().stderr_text();
    const auto first = f.client();
    const auto other = f.client();
    const auto locked = [](admin_client& client) {
        for (std::uint32_t method = 2; method <= 18; ++method) {
            if (client.call<bool>(method).status != call_status::no_such_method) {
                return false;
            }
        }
        return true;
    };
    EXPECT_TRUE(locked(*first));

    for (const std::string& wrong : {std::string(), std::string("Secret"), std::string("secre"),
                                     std::string("secret "), std::string("secret\0", 7)}) {
        EXPECT_EQ(describe(first->login(wrong)), "false BAD_PASSWORD:Password is incorrect");
    }
    EXPECT_TRUE(locked(*first));

    EXPECT_EQ(describe(first->login("secret")), "true ");
    EXPECT_EQ(first->call<string_map>(13).result.count("running"), 1u);
    EXPECT_EQ(describe(first->login("secret")), "true ");
    EXPECT_EQ(describe(first->login("wrong")), "false BAD_PASSWORD:Password is incorrect");
    EXPECT_EQ(first->call<string_map>(13).status, call_status::success) << "still logged in";

    EXPECT_TRUE(locked(*other));
    EXPECT_TRUE(locked(*f.client()));
}

TEST(LumoAdminPort, EveryMethodDoesItsWork) {
    lumo_fixture f;
    f.start();
    f.wait_started();
    const auto admin = f.logged_in_client();
    const string_map live_abc = channel_info(f, "live", "63/54/5", "abc");
    const string_map vod_abc = channel_info(f, "vod", "63/54/5", "abc");
    const string_map vod_test = channel_info(f, "vod", "55/22/40", "test");
    const fs::path live_dir = live_abc.at("localPath");
    const fs::path vod_dir = vod_abc.at("localPath");
    std::string start_time;
    pid_t qen = -1;

    const std::pair<const char*, std::function<void()>> steps[] = {
        {"2 create_channel, live",
         [&] {
             const auto reply = admin->call<string_map>(
                 2, live, std::string("media"),
                 string_map{
                     {"stream_name", "abc"}, {"play_password", "pw"}, {"max_concurrents", "5"}});
             EXPECT_EQ(reply.result, live_abc);
             EXPECT_EQ(reply.error, "");
             const auto app = app_at(f, live_abc.at("virtualPath"));
             ASSERT_TRUE(app);
             EXPECT_TRUE(app->get<bool>("allow_publish", false));
             EXPECT_EQ(app->get<std::string>("only_publish_name", ""), "abc");
             EXPECT_EQ(app->get<std::string>("play_password", ""), "pw");
             EXPECT_EQ(app->get<int>("max_concurrents", 0), 5);
             EXPECT_TRUE(read_file(live_dir / ".htpasswd").starts_with(":$"));
         }},
        {"2 create_channel, vod",
         [&] {
             const auto reply = admin->call<string_map>(2, vod, std::string("media"),
                                                        string_map{{"stream_name", "test"}});
             EXPECT_EQ(reply.result, vod_test);
             const auto app = app_at(f, vod_test.at("virtualPath"));
             ASSERT_TRUE(app);
             EXPECT_FALSE(app->get<bool>("allow_publish", true));
         }},
        {"5 get_channel_info",
         [&] {
             EXPECT_EQ(admin->call<string_map>(5, live_abc.at("virtualPath")).result, live_abc);
         }},
        {"3 update_channel",
         [&] {
             EXPECT_EQ(describe(admin->call<bool>(
                           3, live_abc.at("virtualPath"),
                           string_map{{"max_concurrents", "7"}, {"publish_password", "pub"}})),
                       "true ");
             const auto app = app_at(f, live_abc.at("virtualPath"));
             EXPECT_EQ(app->get<int>("max_concurrents", 0), 7);
             EXPECT_EQ(app->get<std::string>("publish_password", ""), "pub");
         }},
        {"7 set_channel_allow_play",
         [&] {
             EXPECT_EQ(describe(admin->call<bool>(7, live_abc.at("virtualPath"), false)), "true ");
             EXPECT_FALSE(app_at(f, live_abc.at("virtualPath"))->get<bool>("allow_play", true));
             EXPECT_EQ(describe(admin->call<bool>(7, live_abc.at("virtualPath"), true)), "true ");
             EXPECT_TRUE(app_at(f, live_abc.at("virtualPath"))->get<bool>("allow_play", false));
         }},
        {"6 stop_channel",
         [&] {
             channel_testing::record(live_dir, "abc");
             EXPECT_EQ(describe(admin->call<bool>(6, live_abc.at("virtualPath"))), "true ");
             EXPECT_TRUE(fs::exists(live_dir / "abc.stopped"));
             EXPECT_FALSE(app_at(f, live_abc.at("virtualPath"))->get<bool>("allow_publish", true));
             const segment_index index = index_at(live_dir / "abc.livesegments");
             EXPECT_FALSE(index.live);
             EXPECT_TRUE(index.has_start_time);
         }},
        {"8 convertLiveChannelToVod",
         [&] {
             const auto reply = admin->call<string_map>(8, live_abc.at("virtualPath"));
             EXPECT_EQ(reply.result, vod_abc);
             EXPECT_EQ(reply.error, "");
             EXPECT_TRUE(fs::exists(vod_dir / "abc.segments"));
             EXPECT_EQ(
                 app_at(f, live_abc.at("virtualPath"))->get<std::string>("app_redirection", ""),
                 vod_abc.at("virtualPath"));
         }},
        {"9 enableFakeLiveForVod",
         [&] {
             EXPECT_EQ(describe(admin->call<bool>(9, vod_abc.at("virtualPath"), true,
                                                  std::uint32_t{1234567890})),
                       "true ");
             for (const char* file : {"abc.livesegments", "abc.zpksegments"}) {
                 const segment_index index = index_at(vod_dir / file);
                 EXPECT_TRUE(index.has_start_time) << file;
                 EXPECT_EQ(index.start_time, 1234567890u) << file;
             }
         }},
        {"10 getChannelMetaData",
         [&] {
             const auto reply = admin->call<string_map>(10, vod_abc.at("virtualPath"));
             EXPECT_EQ(reply.error, "");
             EXPECT_EQ(reply.result.at("fileexists"), "1");
             EXPECT_EQ(reply.result.at("uuid"), index_at(vod_dir / "abc.zpksegments").name);
         }},
        {"4 delete_channel",
         [&] {
             EXPECT_EQ(describe(admin->call<bool>(4, vod_test.at("virtualPath"))), "true ");
             EXPECT_FALSE(fs::exists(vod_test.at("localPath")));
         }},
        {"14 getVirtualDirs",
         [&] {
             const auto reply = admin->call<rpc::string_map_vector>(14);
             ASSERT_EQ(reply.result.size(), 1u);
             EXPECT_EQ(reply.result[0].at("virtualDir"), "media");
             EXPECT_EQ(reply.result[0].at("localPath"), f.media().string());
             EXPECT_EQ(reply.result[0].count("leftSize"), 1u);
         }},
        {"15 addVirtualDir",
         [&] {
             fs::create_directories(f.dir() / "more");
             EXPECT_EQ(
                 describe(admin->call<bool>(15, std::string("more"), (f.dir() / "more").string())),
                 "true ");
             const qen::qen_config config(f.config_file());
             EXPECT_EQ(config.domains().begin()->second->virtual_dirs.at("more"),
                       (f.dir() / "more").string());
             EXPECT_TRUE(fs::exists(f.dir() / "more/live/.flaccess"));
             EXPECT_TRUE(fs::exists(f.dir() / "more/vod/.flaccess"));
         }},
        {"16 updateSetting",
         [&] {
             EXPECT_EQ(describe(admin->call<bool>(16, std::string("config.lumo.mysql_port"),
                                                  std::string("8090"))),
                       "true ");
             const qen::qen_config config(f.config_file());
             EXPECT_EQ(config.tree().get<std::string>("config.lumo.mysql_port"), "8090");
         }},
        {"17 get_settings",
         [&] {
             const auto reply = admin->call<string_map>(17);
             EXPECT_EQ(reply.result.at("config.lumo.mysql_port"), "8090");
             EXPECT_EQ(reply.result.at("config.qen.rtmp.port"), "1935");
         }},
        {"18 set_domain_name",
         [&] {
             EXPECT_EQ(describe(admin->call<bool>(18, std::string("Example.org"))), "true ");
             const qen::qen_config config(f.config_file());
             ASSERT_EQ(config.domains().count("example.org"), 1u);
             EXPECT_EQ(config.tree().get<std::string>("config.qen.domains.domain.names.name"),
                       "Example.org");
         }},
        {"13 get_status",
         [&] {
             const auto status = admin->call<string_map>(13).result;
             EXPECT_EQ(status.at("running"), "1");
             start_time = status.at("startTime");
             EXPECT_LE(std::stoll(start_time), std::stoll(status.at("time")));
             qen = f.ready_child("qen");
         }},
        {"11 stop_media_services",
         [&] {
             EXPECT_EQ(describe(admin->call<bool>(11)), "true ");
             EXPECT_TRUE(platform::testing::wait_group_gone(qen, 0ms)) << "qen is still there";
             EXPECT_EQ(admin->call<string_map>(13).result.at("running"), "0");
         }},
        {"12 start_media_services",
         [&] {
             EXPECT_EQ(describe(admin->call<bool>(12)), "true ");
             f.ready_child("qen", qen);
             const auto status = admin->call<string_map>(13).result;
             EXPECT_EQ(status.at("running"), "1");
             EXPECT_EQ(status.at("startTime"), start_time);
         }},
    };
    for (const auto& [name, step] : steps) {
        SCOPED_TRACE(name);
        step();
    }
}

TEST(LumoAdminPort, HostileArgumentsAreRefusedAndChangeNothing) {
    lumo_fixture f;
    f.start();
    f.wait_started();
    auto admin = f.logged_in_client();
    const std::string abc = "/media/live/63/54/5/abc";
    ASSERT_EQ(
        admin->call<string_map>(2, live, std::string("media"), string_map{{"stream_name", "abc"}})
            .error,
        "");

    const std::string bad_name = "{} BAD_PARAM:stream_name is not valid";
    const std::string bad_dir = "{} BAD_VIRTUAL_DIR:Bad virtual directory";
    const std::string bad_path = "false BAD_VIRTUAL_PATH:Bad virtual path";
    const std::string bad_domain = "false BAD_PARAM:Bad domain name";
    const std::string dirs_failed = "false EXCEPTION:Exception occurs when getVirtualDirs: ";
    const std::string settings_failed = "false EXCEPTION:Exception occurs when updateSetting: ";
    const std::string bad_arguments = "status 2";
    const std::string nul("a\0b", 3);
    // The longest text a frame may carry, with the rest of its arguments;
    // and one too long for any frame, which ends its connection.
    const std::string long_text(65000, 'a');
    const std::string too_long(65535, 'a');
    const std::string connection_ended = "status 4";

    const auto create = [&](std::int32_t type, const std::string& dir, string_map params) {
        return describe(admin->call<string_map>(2, type, dir, params));
    };
    const auto named = [&](const std::string& name) {
        return create(live, "media", {{"stream_name", name}});
    };
    const auto on_path = [&](std::uint32_t method, const std::string& path) {
        return describe(admin->call<bool>(method, path));
    };
    const auto two_texts = [&](std::uint32_t method, const std::string& a, const std::string& b) {
        return describe(admin->call<bool>(method, a, b));
    };
    const fs::path elsewhere = f.dir() / "elsewhere";
    fs::create_directories(elsewhere);

    const struct {
        const char* name;
        std::function<std::string()> call;
        std::string reply;
    } cases[] = {
        {"stream name ..", [&] { return named(".."); }, bad_name},
        {"stream name with /", [&] { return named("../../x"); }, bad_name},
        {"stream name with NUL", [&] { return named(nul); }, bad_name},
        {"stream name with a quote", [&] { return named("a\"b"); }, bad_name},
        {"stream name of 65000 bytes", [&] { return named(long_text); }, bad_name},
        {"stream name of 65535 bytes", [&] { return named(too_long); }, connection_ended},
        {"no stream name",
         [&] {
             return create(live, "media", {{"name", "x"}});
         },
         "{} BAD_PARAM:stream_name is not set"},
        {"channel type 2",
         [&] {
             return create(2, "media", {{"stream_name", "x"}});
         },
         "{} BAD_PARAM:Bad channel type"},
        {"virtual dir ..",
         [&] {
             return create(live, "..", {{"stream_name", "x"}});
         },
         bad_dir},
        {"virtual dir media/..",
         [&] {
             return create(vod, "media/..", {{"stream_name", "x"}});
         },
         bad_dir},
        {"virtual dir with a line break",
         [&] {
             return create(live, "media\n", {{"stream_name", "x"}});
         },
         bad_dir},
        {"virtual dir of 65000 bytes",
         [&] {
             return create(live, long_text, {{"stream_name", "x"}});
         },
         bad_dir},
        {"path up and out", [&] { return on_path(4, abc + "/../../../../../.."); }, bad_path},
        {"path ending in ..", [&] { return on_path(4, abc + "/.."); }, bad_path},
        {"path ending in /", [&] { return on_path(4, abc + "/"); }, bad_path},
        {"path without its first /", [&] { return on_path(4, abc.substr(1)); }, bad_path},
        {"path with NUL", [&] { return on_path(6, abc + nul); }, bad_path},
        {"path with a line break", [&] { return on_path(4, abc + "\n"); }, bad_path},
        {"path with a quote", [&] { return on_path(6, "/media/live/63/54/5/a\"b"); }, bad_path},
        {"path of 65000 bytes", [&] { return on_path(4, "/" + long_text.substr(1)); }, bad_path},
        {"path of 65535 bytes", [&] { return on_path(4, "/" + too_long.substr(1)); },
         connection_ended},
        {"update on a path up and out",
         [&] {
             return describe(admin->call<bool>(3, std::string("/media/../../x"),
                                               string_map{{"allow_play", "0"}}));
         },
         bad_path},
        {"virtual dir named ..", [&] { return two_texts(15, "..", elsewhere.string()); },
         dirs_failed + "The name is not a valid file name"},
        {"virtual dir named a/b", [&] { return two_texts(15, "a/b", elsewhere.string()); },
         dirs_failed + "The name is not a valid file name"},
        {"virtual dir name with a line break",
         [&] { return two_texts(15, "a\nb", elsewhere.string()); },
         dirs_failed + "The name holds a space or a control character"},
        {"virtual dir at a path with a line break",
         [&] { return two_texts(15, "x", elsewhere.string() + "\n"); },
         "false BAD_PARAM:Bad local path for the virtual directory"},
        {"virtual dir at no path", [&] { return two_texts(15, "x", (f.dir() / "none").string()); },
         "false BAD_PARAM:Bad local path for the virtual directory"},
        {"virtual dir twice", [&] { return two_texts(15, "media", elsewhere.string()); },
         "false BAD_PARAM:Duplicated virtual directory"},
        {"setting with a line break",
         [&] { return two_texts(16, "config.lumo.mysql_port", "1\n<x>"); },
         settings_failed + "The value holds a control character"},
        {"setting key up and out", [&] { return two_texts(16, "../x", "1"); },
         settings_failed + "Bad setting key"},
        {"setting key with a quote", [&] { return two_texts(16, "config.a\"b", "1"); },
         settings_failed + "Bad setting key"},
        {"domain name with a line break",
         [&] { return describe(admin->call<bool>(18, std::string("a\nb"))); }, bad_domain},
        {"domain name with a quote",
         [&] { return describe(admin->call<bool>(18, std::string("a\"b"))); }, bad_domain},
        {"domain name with /", [&] { return describe(admin->call<bool>(18, std::string("a/b"))); },
         bad_domain},
        {"domain name of 65000 bytes", [&] { return describe(admin->call<bool>(18, long_text)); },
         bad_domain},
        {"domain name of 65535 bytes", [&] { return describe(admin->call<bool>(18, too_long)); },
         connection_ended},
        {"a map where a path goes",
         [&] {
             return describe(admin->call<bool>(4, string_map{{"a", "b"}}));
         },
         bad_arguments},
        {"a number where a name goes",
         [&] { return describe(admin->call<bool>(18, std::int32_t{5})); }, bad_arguments},
        {"allow play without its flag", [&] { return describe(admin->call<bool>(7, abc)); },
         bad_arguments},
        {"fake live without its start time",
         [&] { return describe(admin->call<bool>(9, abc, true)); }, bad_arguments},
        {"create without its parameters",
         [&] { return describe(admin->call<string_map>(2, live, std::string("media"))); },
         bad_arguments},
        {"delete with one more argument", [&] { return describe(admin->call<bool>(4, abc, true)); },
         bad_arguments},
        {"stop of the media services with an argument",
         [&] { return describe(admin->call<bool>(11, true)); }, bad_arguments},
        {"status with an argument",
         [&] { return describe(admin->call<string_map>(13, std::string("x"))); }, bad_arguments},
    };

    const std::string config = read_file(f.config_file());
    const auto files = snapshot(f.dir());
    for (const auto& c : cases) {
        const std::string reply = c.call();
        EXPECT_EQ(reply, c.reply) << c.name;
        if (reply == connection_ended) {
            admin = f.logged_in_client();
        }
    }
    EXPECT_EQ(read_file(f.config_file()), config);
    EXPECT_EQ(channel_testing::changes_since(files, f.dir()), std::vector<std::string>{});
    EXPECT_EQ(admin->call<string_map>(13).result.at("running"), "1");
}

TEST(LumoAdminPort, FiftyConnectionsAtOnceEachGetTheirOwnAnswers) {
    lumo_fixture f;
    f.start();
    ASSERT_TRUE(f.wait_serving()) << f.program().stderr_text();
    const auto stranger = f.client();

    std::mutex mutex;
    std::vector<std::string> wrong;
    const auto note = [&](int n, const std::string& what) {
        std::lock_guard lock(mutex);
        wrong.push_back(std::to_string(n) + ": " + what);
    };
    std::vector<std::thread> clients;
    for (int n = 0; n < 50; ++n) {
        clients.emplace_back([&, n] {
            try {
                const auto client = f.client();
                if (describe(client->login("secret")) != "true ") {
                    note(n, "login");
                }
                const std::string name = "channel" + std::to_string(n);
                const auto created = client->call<string_map>(2, live, std::string("media"),
                                                              string_map{{"stream_name", name}});
                const string_map expected =
                    channel_info(f, "live", lumo::lumo_channel_manager::hashed_path(name), name);
                if (created.result != expected || created.error != "") {
                    note(n, "create: " + describe(created));
                }
                const std::string path = expected.at("virtualPath");
                if (client->call<string_map>(5, path).result != expected) {
                    note(n, "info");
                }
                if (describe(client->call<bool>(4, path)) != "true ") {
                    note(n, "delete");
                }
                if (fs::exists(expected.at("localPath"))) {
                    note(n, "still on disk");
                }
            } catch (const std::exception& e) {
                note(n, e.what());
            }
        });
    }
    for (auto& client : clients) {
        client.join();
    }
    EXPECT_EQ(wrong, std::vector<std::string>{});
    EXPECT_EQ(stranger->call<string_map>(5, std::string("/media/live/63/54/5/abc")).status,
              call_status::no_such_method);
}

TEST(LumoAdminPort, ClientsThatGoAwayLeaveTheOthersServed) {
    lumo_fixture f;
    f.start();
    f.wait_started();
    const auto admin = f.logged_in_client();
    const boost::asio::ip::tcp::endpoint port{boost::asio::ip::address_v4::loopback(),
                                              f.admin_port()};
    const auto login = rpc::encode_request(1, 1, std::string("secret"));

    pid_t qen = f.ready_child("qen");
    const pid_t streaming = f.ready_child("http streaming");
    EXPECT_EQ(describe(admin->call<bool>(11)), "true ");
    {
        // Asks for the media services and goes at once.
        rpc::testing::raw_client gone(port);
        rpc::byte_buffer bytes = login;
        const auto start = rpc::encode_request(12, 2);
        bytes.insert(bytes.end(), start.begin(), start.end());
        gone.send(bytes);
    }
    qen = f.ready_child("qen", qen);
    f.ready_child("http streaming", streaming);
    EXPECT_EQ(f.logged_in_client()->call<string_map>(13).result.at("running"), "1");

    {
        // Goes in the middle of a frame.
        rpc::testing::raw_client gone(port);
        gone.send(rpc::byte_buffer(login.begin(), login.end() - 3));
    }
    {
        // Announces more than the port takes: that connection ends.
        rpc::testing::raw_client oversized(port);
        rpc::byte_buffer header(rpc::frame_header_size);
        rpc::write_frame_header(header.data(),
                                {.kind = 5, .call_id = 3, .payload_length = 0x10000});
        oversized.send(header);
        EXPECT_TRUE(oversized.wait_for_close());
    }
    EXPECT_EQ(admin->call<string_map>(13).status, call_status::success);
    EXPECT_EQ(describe(f.logged_in_client()->login("secret")), "true ");

    // A stop while connections are open and a call runs: the media
    // services start again, two start checks long.
    EXPECT_EQ(describe(admin->call<bool>(11)), "true ");
    const auto idle = f.logged_in_client();
    const auto stranger = f.client();
    auto running = std::async(std::launch::async, [&] { return admin->call<bool>(12); });
    f.ready_child("qen", qen);
    const auto began = std::chrono::steady_clock::now();
    f.program().signal(SIGTERM);
    EXPECT_EQ(f.program().wait_for_exit(stop_bound), 0) << f.program().stderr_text();
    EXPECT_LT(std::chrono::steady_clock::now() - began, stop_bound);
    // Answered before the port closed, or lost with it.
    const auto status = running.get().status;
    EXPECT_TRUE(status == call_status::success || status == call_status::connection_lost);
    EXPECT_TRUE(f.wait_children_gone());
}

}  // namespace
