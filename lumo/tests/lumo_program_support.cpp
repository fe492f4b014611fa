#include "lumo/tests/lumo_program_support.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <signal.h>

#include <sstream>

#include "lumo/tests/channel_test_support.hpp"
#include "platform/named_event.hpp"
#include "rpc/rpc_tcp_server.hpp"

namespace lumo_test {

using platform::testing::read_file;
using platform::testing::write_file;

std::vector<std::string> lines_of(const std::string& text) {
    std::istringstream stream(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

admin_client::admin_client(boost::asio::io_context& io, unsigned short port)
    : connection_(std::make_shared<rpc::rpc_tcp_connection>(
          io, rpc::rpc_tcp_server_base::read_size, rpc::rpc_tcp_server_base::max_payload_length)) {
    connection_->socket().connect({boost::asio::ip::address_v4::loopback(), port});
    connection_->start_receive();
}

admin_client::~admin_client() {
    close();
}

void admin_client::close() {
    connection_->close();
}

lumo_fixture::lumo_fixture(std::optional<root_programs> real_programs)
    : admin_port_(platform::testing::free_port()) {
    if (real_programs) {
        // Apache's workers run as www-data and read these folders.
        fs::permissions(dir_.path(), fs::perms(0755));
        make_root(root_, *real_programs);
    } else {
        fs::create_directories(root_ / "mysql/data");  // no database wanted
        make_root(root_, {STAND_IN_PROGRAM, STAND_IN_PROGRAM, STAND_IN_PROGRAM});
        behave("mysql", "* run");
        behave("apache", "* run");
        behave("qen", "* event");
    }
    fs::create_directories(dir_ / "www");
    fs::create_directories(media_ / "live");
    fs::create_directories(media_ / "vod");
    write_file(media_ / "live/.flaccess",
               channel_testing::settings_xml("<allow_publish>0</allow_publish>"));
    write_file(media_ / "vod/.flaccess",
               channel_testing::settings_xml(
                   "<allow_publish>0<allow_override>0</allow_override></allow_publish>"));
    write_config();
}

lumo_fixture::~lumo_fixture() {
    platform::testing::group_killer killer;
    if (lumo_) {
        const pid_t pid = lumo_->pid();
        for (const pid_t child : platform::testing::live_children_of(pid)) {
            killer.add(child);  // each leads a group of its own
        }
        // Stopped as it stops, its children leave nothing behind (a killed
        // qen leaves its event); killed should that fail.
        if (lumo_->running()) {
            lumo_->signal(SIGTERM);
            lumo_->wait_for_exit(60s);
        }
        lumo_.reset();
        platform::remove_named_event("lumo_shutdown_" + std::to_string(pid));
    }
    for (const pid_t child : started_children()) {
        killer.add(child);
    }
}

void lumo_fixture::write_config(const config_options& options) {
    password_ = options.password.value_or("");
    std::string lumo = "<path>" + root_.string() + "</path><server_admin_ipc_port>" +
                       options.port.value_or(std::to_string(admin_port_)) +
                       "</server_admin_ipc_port>";
    if (options.password) {
        lumo += "<server_admin_ipc_pwd>" + xml_text(*options.password) + "</server_admin_ipc_pwd>";
    }
    lumo_test::write_config(
        config_file_, options.qen_xml,
        {{{"localhost"}, (dir_ / "www").string(), {{"media", media_.string()}}}},
        lumo + options.lumo_xml);
}

fs::path lumo_fixture::program_path(const std::string& program) const {
    if (program == "mysql") {
        return root_ / "mysql/bin/mariadbd";
    }
    if (program == "apache") {
        return root_ / "apache/bin/apache2";
    }
    return root_ / "bin/qen";
}

void lumo_fixture::behave(const std::string& program, const std::string& lines) {
    write_file(program_path(program).string() + ".behaviour", lines + "\n");
}

void lumo_fixture::start(const std::string& mode,
                         const std::map<std::string, std::string>& environment) {
    platform::testing::spawn_options options;
    options.set_env = environment;
    options.set_env["STAND_IN_LOG"] = log_.string();
    lumo_ = std::make_unique<platform::testing::child_process>(
        std::vector<std::string>{LUMO_PROGRAM, mode, config_file_.string()}, options);
}

bool lumo_fixture::wait_serving(std::chrono::milliseconds timeout) {
    return platform::testing::eventually(
        [&] {
            try {
                return client()->login("").status == rpc::call_status::success;
            } catch (const std::exception&) {
                return false;  // not listening yet
            }
        },
        timeout);
}

void lumo_fixture::wait_started() {
    ASSERT_TRUE(wait_serving()) << program().stderr_text();
    const auto started = logged_in_client()->call<bool>(12);
    ASSERT_EQ(started.status, rpc::call_status::success);
    ASSERT_TRUE(started.result) << started.error;
}

std::unique_ptr<admin_client> lumo_fixture::client() {
    return std::make_unique<admin_client>(io_.context(), admin_port_);
}

std::unique_ptr<admin_client> lumo_fixture::logged_in_client() {
    auto connection = client();
    const auto login = connection->login(password_);
    EXPECT_EQ(login.status, rpc::call_status::success);
    EXPECT_TRUE(login.result) << login.error;
    return connection;
}

std::vector<child_event> lumo_fixture::log_events() const {
    std::vector<child_event> events;
    for (const auto& line : lines_of(read_file(log_))) {
        const auto space = line.find(' ');
        if (space != std::string::npos) {
            events.push_back({line.substr(0, space), std::stoi(line.substr(space + 1))});
        }
    }
    return events;
}

bool lumo_fixture::wait_logged(const std::string& what, pid_t pid,
                               std::chrono::milliseconds timeout) const {
    const std::string line = what + " " + std::to_string(pid) + "\n";
    return platform::testing::eventually(
        [&] { return read_file(log_).find(line) != std::string::npos; }, timeout);
}

child_name lumo_fixture::child_of(pid_t pid) const {
    const std::string seen = "." + std::to_string(pid) + ".seen";
    if (fs::exists(program_path("mysql").string() + seen)) {
        return "mysql";
    }
    if (fs::exists(program_path("qen").string() + seen)) {
        return "qen";
    }
    const std::string apache = read_file(program_path("apache").string() + seen);
    if (apache.find("admin.conf") != std::string::npos) {
        return "web admin";
    }
    if (apache.find("stream.conf") != std::string::npos) {
        return "http streaming";
    }
    return "unknown";
}

pid_t lumo_fixture::ready_child(const child_name& name, pid_t other_than) {
    pid_t last = -1;
    const bool started = platform::testing::eventually(
        [&] {
            for (const auto& event : log_events()) {
                if (event.what == "start" && child_of(event.pid) == name) {
                    last = event.pid;
                }
            }
            return last != -1 && last != other_than;
        },
        60s);
    EXPECT_TRUE(started) << name << " never started";
    EXPECT_TRUE(started && wait_logged("ready", last)) << name;
    return last;
}

std::vector<child_name> lumo_fixture::children_in_order(const std::string& what) const {
    std::vector<child_name> names;
    for (const auto& event : log_events()) {
        if (event.what == what) {
            names.push_back(child_of(event.pid));
        }
    }
    return names;
}

std::vector<pid_t> lumo_fixture::started_children() const {
    std::vector<pid_t> pids;
    for (const auto& event : log_events()) {
        if (event.what == "start") {
            pids.push_back(event.pid);
        }
    }
    return pids;
}

bool lumo_fixture::wait_children_gone(std::chrono::milliseconds timeout) const {
    for (const pid_t child : started_children()) {
        if (!platform::testing::wait_group_gone(child, timeout)) {
            return false;
        }
    }
    return true;
}

bool lumo_fixture::shutdown_event_exists() const {
    const std::string name =
        platform::semaphore_name("lumo_shutdown_" + std::to_string(lumo_->pid()));
    sem_t* semaphore = sem_open(name.c_str(), 0);
    if (semaphore == SEM_FAILED) {
        return false;
    }
    sem_close(semaphore);
    return true;
}

}  // namespace lumo_test
