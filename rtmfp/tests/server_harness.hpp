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
// A status object: level, code and description.
bytes status_object(std::string_view level, std::string_view code, std::string_view description);
bytes stat_call(double transaction_id);
bytes set_peer_info(const std::vector<std::string>& addresses);

// The bodies of the chunks of a type the client received, oldest first.
std::vector<bytes> chunk_bodies(const test_client& client, std::uint8_t type);

// A 0x0F the client received: a peer (or the server's NAT probe) wants to
// reach it at an address.
struct introduction {
    bytes peer_id;
    rtmfp_address address;
    bytes tag;
};
std::vector<introduction> punch_requests(const test_client& client);

bytes peer_id_bytes(const test_client& client);

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
    // NetConnection's next message other than connectivity results (which
    // the server sends on its own) and returns it (none when the time runs
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
    // replies() without the connectivity results.
    std::vector<bytes> answers();

    test_client client_;
    std::uint32_t flow_ = 0;
};

// A client's NetGroup stream: the groups it joins and the members it is
// handed. A join is a message of kind 0x01 holding, after its VLU length,
// 0x10 and a specifier or 0x15 and a group id.
class netgroup_member {
  public:
    explicit netgroup_member(netconnection_client& c) : c_(c) {}

    void join_by_specifier(const std::string& specifier);
    void join_by_id(const bytes& id);
    // A join's body as it stands (its length is written in front).
    void send(const bytes& join);

    // What the server's NetGroup flow sent: 0x0B and a peer id each.
    std::vector<bytes> messages();
    // The peer ids of those messages.
    std::vector<bytes> members();
    bool wait_for_members(std::size_t count,
                          std::chrono::milliseconds timeout = netconnection_client::wait);
    // The flow our joins go out on; 0 before the first.
    std::uint32_t flow() const noexcept { return flow_; }

  private:
    netconnection_client& c_;
    std::uint32_t flow_ = 0;
};

// A call's answer once all the call does is done: setPeerInfo answers
// before it stores the addresses, and the answer to a later call (a stat)
// shows them stored. None when either goes unanswered.
std::optional<bytes> settled_call(netconnection_client& client, const bytes& call);

}  // namespace rtmfp_test
