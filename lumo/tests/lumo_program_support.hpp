#pragma once

// The lumo program under test: an installation root whose children are
// stand-ins (lumo/tests/stand_in_main.cpp), its configuration, the program
// started from outside, and clients of its administration port.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "lumo/tests/children_test_support.hpp"
#include "platform/testing/process_groups.hpp"
#include "platform/testing/test_support.hpp"
#include "rpc/rpc_tcp_connection.hpp"
#include "rpc/tests/rpc_test_support.hpp"

namespace lumo_test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// How long a remote call may take: starting the media services waits for
// two start checks, stopping them for two stops.
inline constexpr auto call_timeout = 120s;

// What a remote call gave: the reply status and, on success, the results.
template <typename Result>
struct call_result {
    rpc::call_status status = rpc::call_status::success;
    Result result{};
    std::string error;
};

// A client of the administration port, on the io context of the caller.
class admin_client {
  public:
    // Throws when nothing accepts on the port.
    admin_client(boost::asio::io_context& io, unsigned short port);
    ~admin_client();
    admin_client(const admin_client&) = delete;
    admin_client& operator=(const admin_client&) = delete;

    // Calls a method and waits for its completion; throws when it does not
    // complete in time.
    template <typename Result, typename... Arguments>
    call_result<Result> call(std::uint32_t method, const Arguments&... arguments) {
        auto promise = std::make_shared<std::promise<call_result<Result>>>();
        auto future = promise->get_future();
        connection_->call<Result, std::string>(
            method, rpc::remote_call_mgr::no_timeout,
            [promise](rpc::call_status status, Result result, std::string error) {
                promise->set_value({status, std::move(result), std::move(error)});
            },
            arguments...);
        if (future.wait_for(call_timeout) != std::future_status::ready) {
            throw std::runtime_error("method " + std::to_string(method) + " did not complete");
        }
        return future.get();
    }

    call_result<bool> login(const std::string& password) { return call<bool>(1, password); }

    void close();

  private:
    std::shared_ptr<rpc::rpc_tcp_connection> connection_;
};

// Which child a stand-in was: "mysql", "web admin", "qen" or
// "http streaming".
using child_name = std::string;

// One line of the stand-ins' log: "start", "ready", "stop-term" or
// "stop-event", and the pid.
struct child_event {
    std::string what;
    pid_t pid;
};

// What the configuration holds besides the domain, the root's path and
// the administration port.
struct config_options {
    // Nothing: no password element.
    std::optional<std::string> password = "secret";
    // The administration port's text; the fixture's port when nothing.
    std::optional<std::string> port;
    // More of config.lumo and of config.qen, as XML.
    std::string lumo_xml;
    std::string qen_xml;
};

// An installation root with a configuration: one domain with the virtual
// directory "media" (its "live" and "vod" folders made as addVirtualDir
// makes them), the administration port on a free port. The root's children
// are stand-ins, or the given programs. Every child the test's lumo started
// is gone, with its group, once the fixture is; so is lumo.
class lumo_fixture {
  public:
    explicit lumo_fixture(std::optional<root_programs> real_programs = std::nullopt);
    ~lumo_fixture();
    lumo_fixture(const lumo_fixture&) = delete;
    lumo_fixture& operator=(const lumo_fixture&) = delete;

    void write_config(const config_options& options = {});

    // Lines of a stand-in's behaviour file: "mysql", "apache" or "qen".
    void behave(const std::string& program, const std::string& lines);

    // Starts `lumo MODE CONFIG` with the environment's additions.
    void start(const std::string& mode = "embed",
               const std::map<std::string, std::string>& environment = {});
    platform::testing::child_process& program() { return *lumo_; }
    pid_t pid() const { return lumo_->pid(); }

    // Whether the login of a new connection is answered (whatever its
    // result) within the timeout.
    bool wait_serving(std::chrono::milliseconds timeout = 120s);
    // Waits until the administration port serves and both media services
    // run (method 12 answers true once the start-up's own start is over).
    void wait_started();

    std::unique_ptr<admin_client> client();
    // A client logged in with the configured password.
    std::unique_ptr<admin_client> logged_in_client();
    boost::asio::io_context& io() { return io_.context(); }

    std::vector<child_event> log_events() const;
    bool wait_logged(const std::string& what, pid_t pid,
                     std::chrono::milliseconds timeout = 60s) const;
    child_name child_of(pid_t pid) const;
    // The pid of the child of that name started last, once it has started
    // and is ready; with `other_than`, once that one is not the last.
    pid_t ready_child(const child_name& name, pid_t other_than = -1);
    // The children's names in the order of the log's lines of one kind.
    std::vector<child_name> children_in_order(const std::string& what) const;

    // Whether every process that any child started is gone within the
    // timeout.
    bool wait_children_gone(std::chrono::milliseconds timeout = 60s) const;

    // Whether lumo's shutdown event exists.
    bool shutdown_event_exists() const;

    const fs::path& dir() const { return dir_.path(); }
    const fs::path& root() const { return root_; }
    const fs::path& media() const { return media_; }
    const fs::path& config_file() const { return config_file_; }
    unsigned short admin_port() const { return admin_port_; }

  private:
    std::vector<pid_t> started_children() const;
    fs::path program_path(const std::string& program) const;

    platform::testing::temp_dir dir_;
    fs::path root_ = dir_ / "root";
    fs::path media_ = dir_ / "media";
    fs::path config_file_ = dir_ / "lumo.xml";
    fs::path log_ = dir_ / "children.log";
    unsigned short admin_port_;
    std::string password_;
    rpc::testing::io_thread io_;
    std::unique_ptr<platform::testing::child_process> lumo_;
};

// The lines of a text.
std::vector<std::string> lines_of(const std::string& text);

}  // namespace lumo_test
