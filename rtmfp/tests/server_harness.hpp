#pragma once

// An RTMFP server under test with an application of the test's, clients
// that reach its NetConnection, and AMF0 values written out for their
// calls.

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "rtmfp/server.hpp"
#include "rtmfp/tests/test_client.hpp"

namespace rtmfp_test {

// AMF0 values as bytes.
bytes amf0_text(std::string_view text);
bytes amf0_num(double value);
bytes amf0_null_value();
// An object with its properties in the given order.
bytes amf0_object_of(const std::vector<std::pair<std::string, bytes>>& properties);
// A command message: 0x14, four zero bytes, name, transaction id, the
// command object (or null) and the arguments.
bytes command_message(std::string_view name, double transaction_id, const bytes& command_object,
                      const std::vector<bytes>& args = {});
// A connect command object naming `tc_url`.
bytes connect_object(const std::string& tc_url = "rtmfp://localhost/app");

// What the test application saw.
struct server_events {
    std::vector<std::string> connects;  // their tcUrl
    int disconnects = 0;
    std::vector<std::string> calls;
    std::vector<std::uint32_t> streams_created;
    std::vector<std::uint32_t> streams_deleted;
};

// Accepts every connect whose tcUrl does not contain "refuse" and gives
// the session a connection handler that records what it hears.
class test_application : public rtmfp_server_handler {
  public:
    bool on_connect(const std::shared_ptr<rtmfp_server_session>& session, amf0_object& command,
                    buffer_reader& args) override;
    void on_disconnect(const std::shared_ptr<rtmfp_server_session>& session) override;

    server_events events() const;

  private:
    class connection;

    mutable std::mutex mutex_;
    server_events events_;
};

struct server_setup {
    std::vector<udp_endpoint> listen{udp_endpoint(boost::asio::ip::make_address("127.0.0.1"), 0)};
    rtmfp_server_limits limits;
    // Ticks come from the test unless it turns the timer on.
    rtmfp_server_options options{.tick_timer = false};
    std::size_t threads = 2;
};

// A started server with the test application; stopped and joined when it
// goes.
class test_server {
  public:
    explicit test_server(server_setup setup = {});
    ~test_server();

    rtmfp_server& server() noexcept { return *server_; }
    rtmfp_server_sessions& sessions() noexcept { return server_->sessions(); }
    // The main and the first NAT detection socket of a listen address.
    udp_endpoint endpoint(std::size_t index = 0) const { return endpoints_.at(index); }
    udp_endpoint detect_nat_endpoint(std::size_t index = 0) const {
        return detect_nat_endpoints_.at(index);
    }
    server_events events() const { return application_->events(); }
    void tick(int times = 1);

  private:
    std::shared_ptr<test_application> application_;
    std::unique_ptr<rtmfp_server> server_;
    std::vector<udp_endpoint> endpoints_;
    std::vector<udp_endpoint> detect_nat_endpoints_;
};

// Whether [::1] can be bound here.
bool ipv6_loopback_available();

// A client with a session and a flow to its NetConnection, which the
// first call opens.
class netconnection_client {
  public:
    static constexpr std::chrono::milliseconds wait{20000};

    explicit netconnection_client(const udp_endpoint& server, client_options options = {});

    // The handshake; false when it does not complete in time.
    bool open();
    // open() and a connect that succeeds.
    bool connect(const std::string& tc_url = "rtmfp://localhost/app");

    // Sends a message on our NetConnection flow; call() also waits for the
    // NetConnection's next message and returns it (none when the time runs
    // out or the session ends first).
    void send(const bytes& message);
    std::optional<bytes> call(const bytes& message);
    // Pumps until the server ends the session.
    bool wait_for_end(std::chrono::milliseconds timeout = wait);
    // What the NetConnection sent so far.
    std::vector<bytes> replies();

    test_client& client() noexcept { return client_; }
    std::uint32_t server_session_id() const noexcept { return client_.keys().server_session_id; }

  private:
    test_client client_;
    std::uint32_t flow_ = 0;
};

}  // namespace rtmfp_test
