// The lumo program's life, run from outside on a root of stand-ins: its
// start-up and what ends it, its controls, and its reports to systemd.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <functional>
#include <thread>

#include "lumo/tests/lumo_program_support.hpp"

namespace {

using namespace lumo_test;
using platform::testing::write_file;

// Generous: each stop of a stand-in takes a moment, and the machine may be
// busy.
constexpr auto stop_bound = 60s;

// The order in which the supervisor stops its children when it ends.
const std::vector<child_name> stop_order = {"web admin", "mysql", "http streaming", "qen"};

// The children's stop lines, "stop-term" and "stop-event", in log order.
std::vector<child_name> stopped_children(const lumo_fixture& f) {
    std::vector<child_name> names;
    for (const auto& event : f.log_events()) {
        if (event.what.rfind("stop-", 0) == 0) {
            names.push_back(f.child_of(event.pid));
        }
    }
    return names;
}

call_result<rpc::string_map> status_of(lumo_fixture& f) {
    return f.logged_in_client()->call<rpc::string_map>(13);
}

// A socket where systemd would take a service's reports.
class notify_socket {
  public:
    explicit notify_socket(const fs::path& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
            << std::strerror(errno);
    }
    ~notify_socket() { ::close(fd_); }
    notify_socket(const notify_socket&) = delete;
    notify_socket& operator=(const notify_socket&) = delete;

    // The next report; nothing when none comes in time.
    std::optional<std::string> next(std::chrono::milliseconds timeout) {
        pollfd readable{.fd = fd_, .events = POLLIN, .revents = 0};
        if (::poll(&readable, 1, static_cast<int>(timeout.count())) <= 0) {
            return std::nullopt;
        }
        char report[4096];
        const auto size = ::recv(fd_, report, sizeof report, 0);
        return size < 0 ? std::nullopt : std::optional<std::string>(std::string(report, size));
    }

    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
    int fd_ = -1;
};

// Ends a started lumo with `stop` and checks how it ends: every child
// stopped in order, exit 0, the event and every child gone.
void expect_orderly_end(lumo_fixture& f, const std::function<void()>& stop) {
    ASSERT_TRUE(f.shutdown_event_exists());
    const auto began = std::chrono::steady_clock::now();
    stop();
    EXPECT_EQ(f.program().wait_for_exit(stop_bound), 0) << f.program().stderr_text();
    EXPECT_LT(std::chrono::steady_clock::now() - began, stop_bound);
    EXPECT_EQ(stopped_children(f), stop_order);
    EXPECT_FALSE(f.shutdown_event_exists());
    EXPECT_TRUE(f.wait_children_gone());
}

TEST(LumoLife, TerminalSignalsChangeNothingAndTheShutdownEventEndsIt) {
    lumo_fixture f;
    // Without a configured password the empty one unlocks.
    f.write_config({.password = std::nullopt});
    notify_socket reports(f.dir() / "notify");
    f.start("embed", {{"NOTIFY_SOCKET", reports.path().string()}});
    f.wait_started();
    const auto login = f.client()->login("");
    EXPECT_TRUE(login.result);
    EXPECT_EQ(login.error, "");
    EXPECT_EQ(f.client()->login("x").error, "BAD_PASSWORD:Password is incorrect");

    std::map<child_name, pid_t> children;
    for (const auto& name : stop_order) {
        children[name] = f.ready_child(name);
    }
    for (const int terminal_signal : {SIGINT, SIGQUIT, SIGHUP}) {
        f.program().signal(terminal_signal);
    }
    // What they would do they would do at once: a stop, or an end by
    // default.
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(f.program().running());
    EXPECT_EQ(status_of(f).result.at("running"), "1");
    for (const auto& [name, pid] : children) {
        EXPECT_EQ(f.ready_child(name), pid) << name;
    }
    EXPECT_EQ(stopped_children(f), std::vector<child_name>{});

    expect_orderly_end(f, [&] {
        const auto set = platform::testing::run(
            {PLATFORM_SET_EVENT, "lumo_shutdown_" + std::to_string(f.pid())}, 60s);
        EXPECT_EQ(set.exit_code, 0) << "no such event";
    });
    EXPECT_EQ(reports.next(0ms), std::nullopt) << "reports in a terminal";
}

TEST(LumoLife, SigtermStopsTheChildrenInOrder) {
    lumo_fixture f;
    f.start();
    f.wait_started();
    expect_orderly_end(f, [&] { f.program().signal(SIGTERM); });
}

TEST(LumoLife, SigtermDuringTheStartUpEndsItOnceStarted) {
    lumo_fixture f;
    f.start();
    // The database server is in its start check now.
    f.ready_child("mysql");
    f.program().signal(SIGTERM);
    EXPECT_EQ(f.program().wait_for_exit(stop_bound), 0) << f.program().stderr_text();
    EXPECT_TRUE(f.wait_children_gone());
    EXPECT_FALSE(f.shutdown_event_exists());
    // Stopping, it starts no media services.
    EXPECT_EQ(f.children_in_order("start"), (std::vector<child_name>{"mysql", "web admin"}));
}

// A listener on 127.0.0.1:port, closed when the result goes.
std::shared_ptr<void> occupy(unsigned short port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(fd, 1), 0);
    return std::shared_ptr<void>(nullptr, [fd](void*) { ::close(fd); });
}

TEST(LumoLife, AFailedStartUpLogsItsReasonLeavesNothingAndExitsOne) {
    struct failure_case {
        const char* name;
        // Spoils the fixture; may return what must live while lumo runs.
        std::function<std::shared_ptr<void>(lumo_fixture&)> arrange;
        std::string reason;
    };
    const auto config = [](std::string more, std::optional<std::string> port = std::nullopt) {
        return [more, port](lumo_fixture& f) {
            f.write_config({.port = port, .lumo_xml = more});
            return std::shared_ptr<void>();
        };
    };
    const failure_case cases[] = {
        {"a configuration file that does not load",
         [](lumo_fixture& f) {
             write_file(f.config_file(), "<config><qen>");
             return std::shared_ptr<void>();
         },
         "unexpected end of data"},
        {"no configuration file",
         [](lumo_fixture& f) {
             fs::remove(f.config_file());
             return std::shared_ptr<void>();
         },
         "No such file or directory"},
        {"an address that is no IP address",
         config("<server_admin_ipc_ip>127.0.0.300</server_admin_ipc_ip>"),
         "config.lumo.server_admin_ipc_ip is not an IP address: 127.0.0.300"},
        {"a port over 65535", config("", "65536"),
         "config.lumo.server_admin_ipc_port is not a port: 65536"},
        {"a negative port", config("", "-1"),
         "config.lumo.server_admin_ipc_port is not a port: -1"},
        {"a port that is no number", config("", "84x"),
         "config.lumo.server_admin_ipc_port is not a port: 84x"},
        {"a root that is not there",
         [](lumo_fixture& f) {
             fs::rename(f.root(), f.root().string() + ".moved");
             return std::shared_ptr<void>();
         },
         "lumo configuration bad, config.lumo.path is bad"},
        {"the administration port in use", [](lumo_fixture& f) { return occupy(f.admin_port()); },
         "The administration port on TCP 127.0.0.1:$PORT: bind: Address already in use"},
        {"a database server that quits at once",
         [](lumo_fixture& f) {
             f.behave("mysql", "* exit 1");
             return std::shared_ptr<void>();
         },
         "Error when running mysql: Mysql process quit unexpected"},
        {"an administration web server that quits at once",
         [](lumo_fixture& f) {
             f.behave("apache", "admin.conf exit 1");
             return std::shared_ptr<void>();
         },
         "Error when running web admin apache: web admin process quit unexpected"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        lumo_fixture f;
        const auto keep = c.arrange(f);
        f.start();
        EXPECT_EQ(f.program().wait_for_exit(stop_bound), 1);
        const auto lines = lines_of(f.program().stderr_text());
        ASSERT_EQ(lines.size(), 1u) << f.program().stderr_text();
        std::string reason = c.reason;
        if (const auto at = reason.find("$PORT"); at != std::string::npos) {
            reason.replace(at, 5, std::to_string(f.admin_port()));
        }
        EXPECT_NE(lines[0].find(reason), std::string::npos) << lines[0];
        EXPECT_TRUE(f.wait_children_gone());
        EXPECT_FALSE(f.shutdown_event_exists());
    }
}

TEST(LumoLife, AMediaServerThatQuitsAtStartIsLoggedAndStartedLater) {
    lumo_fixture f;
    f.behave("qen", "* exit 3");
    f.start();
    ASSERT_TRUE(f.wait_serving());
    const std::string logged =
        "Error when running QEN & Http streaming: QEN process quit unexpected";
    EXPECT_TRUE(platform::testing::eventually(
        [&] { return f.program().stderr_text().find(logged) != std::string::npos; }, 60s))
        << f.program().stderr_text();
    EXPECT_EQ(status_of(f).result.at("running"), "0");
    EXPECT_TRUE(f.program().running());

    f.behave("qen", "* event");
    const auto started = f.logged_in_client()->call<bool>(12);
    EXPECT_TRUE(started.result) << started.error;
    EXPECT_EQ(started.error, "");
    EXPECT_EQ(status_of(f).result.at("running"), "1");
    f.ready_child("http streaming");

    f.program().signal(SIGTERM);
    EXPECT_EQ(f.program().wait_for_exit(stop_bound), 0);
    EXPECT_TRUE(f.wait_children_gone());
}

TEST(LumoLife, UnderSystemdItReportsItsStatesAndPausesOnSignals) {
    lumo_fixture f;
    notify_socket reports(f.dir() / "notify");
    f.start("run", {{"NOTIFY_SOCKET", reports.path().string()}});
    const auto ready = reports.next(120s);
    ASSERT_TRUE(ready.has_value()) << f.program().stderr_text();
    EXPECT_EQ(*ready, "READY=1\nSTATUS=running");
    // Ready means started: the media services run.
    const pid_t qen = f.ready_child("qen");
    const pid_t streaming = f.ready_child("http streaming");
    EXPECT_EQ(status_of(f).result.at("running"), "1");

    f.program().signal(SIGUSR1);
    EXPECT_EQ(reports.next(stop_bound), "STATUS=paused");
    EXPECT_TRUE(f.wait_logged("stop-event", qen, 0ms)) << "paused before qen stopped";
    EXPECT_TRUE(f.wait_logged("stop-term", streaming, 0ms));
    EXPECT_EQ(status_of(f).result.at("running"), "0");
    EXPECT_EQ(f.children_in_order("stop-term"),
              std::vector<child_name>{"http streaming"});  // nothing else stopped

    f.program().signal(SIGUSR2);
    EXPECT_EQ(reports.next(stop_bound), "READY=1\nSTATUS=running");
    f.ready_child("qen", qen);
    f.ready_child("http streaming", streaming);
    EXPECT_EQ(status_of(f).result.at("running"), "1");

    f.program().signal(SIGTERM);
    EXPECT_EQ(reports.next(stop_bound), "STOPPING=1");
    EXPECT_EQ(f.program().wait_for_exit(stop_bound), 0);
    EXPECT_TRUE(f.wait_children_gone());
    // The children do not report to the service manager as if they were
    // the service.
    for (const auto& file : fs::recursive_directory_iterator(f.root())) {
        if (file.path().extension() == ".seen") {
            EXPECT_EQ(platform::testing::read_file(file.path()).find("notify_socket"),
                      std::string::npos)
                << file.path();
        }
    }
}

}  // namespace
