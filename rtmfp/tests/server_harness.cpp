#include "rtmfp/tests/server_harness.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>

#include "rtmfp/netstream.hpp"

namespace rtmfp_test {

namespace {

namespace ip = boost::asio::ip;

const bytes netconnection_signature{0x00, 0x54, 0x43, 0x04, 0x00};
const bytes netgroup_signature{0x00, 0x47, 0x43};

void put_u16(bytes& out, std::size_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void append(bytes& out, const bytes& more) {
    out.insert(out.end(), more.begin(), more.end());
}

std::string text_of(light_string s) {
    return s.str();
}

}  // namespace

bytes amf0_text(std::string_view text) {
    bytes out{0x02};
    put_u16(out, text.size());
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

bytes amf0_num(double value) {
    bytes out{0x00};
    const auto bits = std::bit_cast<std::uint64_t>(value);
    for (int shift = 56; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(bits >> shift));
    }
    return out;
}

bytes amf0_null_value() {
    return {0x05};
}

bytes amf0_object_of(const std::vector<std::pair<std::string, bytes>>& properties) {
    bytes out{0x03};
    for (const auto& [key, value] : properties) {
        put_u16(out, key.size());
        out.insert(out.end(), key.begin(), key.end());
        append(out, value);
    }
    append(out, {0x00, 0x00, 0x09});
    return out;
}

bytes command_message(std::string_view name, double transaction_id, const bytes& command_object,
                      const std::vector<bytes>& args) {
    bytes out{0x14, 0x00, 0x00, 0x00, 0x00};
    append(out, amf0_text(name));
    append(out, amf0_num(transaction_id));
    append(out, command_object);
    for (const bytes& arg : args) {
        append(out, arg);
    }
    return out;
}

bytes connect_object(const std::string& tc_url) {
    return amf0_object_of({{"app", amf0_text("app")}, {"tcUrl", amf0_text(tc_url)}});
}

bytes status_object(std::string_view level, std::string_view code, std::string_view description) {
    return amf0_object_of({{"level", amf0_text(level)},
                           {"code", amf0_text(code)},
                           {"description", amf0_text(description)}});
}

bytes stat_call(double transaction_id) {
    return command_message("stat", transaction_id, amf0_null_value());
}

bytes set_peer_info(const std::vector<std::string>& addresses) {
    std::vector<bytes> args;
    for (const std::string& address : addresses) {
        args.push_back(amf0_text(address));
    }
    return command_message("setPeerInfo", 0, amf0_null_value(), args);
}

std::vector<bytes> chunk_bodies(const test_client& client, std::uint8_t type) {
    std::vector<bytes> bodies;
    for (const received_packet& packet : client.packets()) {
        for (const received_chunk& c : packet.chunks) {
            if (c.type == type) {
                bodies.push_back(c.body);
            }
        }
    }
    return bodies;
}

std::vector<introduction> punch_requests(const test_client& client) {
    std::vector<introduction> found;
    for (const bytes& body : chunk_bodies(client, 0x0F)) {
        rtmfp_packet_reader in(body.data(), static_cast<std::uint32_t>(body.size()));
        rtmfp_read_vlu(in);
        rtmfp_read_vlu(in);
        in.read_u8();
        introduction made;
        const rtmfp_bytes peer_id = in.read_bytes(32);
        made.peer_id.assign(peer_id.begin(), peer_id.end());
        made.address = rtmfp_read_address(in);
        const rtmfp_bytes tag = in.read_rest();
        made.tag.assign(tag.begin(), tag.end());
        found.push_back(made);
    }
    return found;
}

bytes peer_id_bytes(const test_client& client) {
    const rtmfp_peer_id id = client.peer_id();
    return bytes(id.begin(), id.end());
}

class test_application::connection : public rtmfp_connection_handler {
  public:
    explicit connection(test_application& application) : application_(application) {}

    void on_stream_created(const std::shared_ptr<rtmfp_netstream>& stream) override {
        std::lock_guard lock(application_.mutex_);
        application_.events_.streams_created.push_back(stream->stream_id());
    }
    void on_stream_deleted(const std::shared_ptr<rtmfp_netstream>& stream) override {
        std::lock_guard lock(application_.mutex_);
        application_.events_.streams_deleted.push_back(stream->stream_id());
    }
    bool resolve_group_name(const std::string&, std::string&) override { return true; }
    bool on_call(light_string name, double, amf0_based&, buffer_reader&) override {
        std::lock_guard lock(application_.mutex_);
        application_.events_.calls.push_back(text_of(name));
        return true;
    }

  private:
    test_application& application_;
};

bool test_application::on_connect(const std::shared_ptr<rtmfp_server_session>& session,
                                  amf0_object& command, buffer_reader&) {
    std::string tc_url;
    if (const auto* url = dynamic_cast<const amf0_string*>(command.find("tcUrl"))) {
        tc_url = text_of(url->value);
    }
    {
        std::lock_guard lock(mutex_);
        events_.connects.push_back(tc_url);
    }
    if (tc_url.find("refuse") != std::string::npos) {
        return false;
    }
    session->add_connection_handler(0, std::make_unique<connection>(*this));
    return true;
}

void test_application::on_disconnect(const std::shared_ptr<rtmfp_server_session>&) {
    std::lock_guard lock(mutex_);
    ++events_.disconnects;
}

server_events test_application::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

test_server::test_server(server_setup setup)
    : application_(std::make_shared<test_application>()),
      server_(std::make_unique<rtmfp_server>(setup.listen, 0, 0, setup.limits, setup.options)) {
    server_->sessions().add_handler(0, application_);
    endpoints_ = server_->local_endpoints();
    detect_nat_endpoints_ = server_->detect_nat_endpoints();
    server_->start(setup.threads);
}

test_server::~test_server() {
    server_->join();
}

void test_server::tick(int times) {
    for (int i = 0; i < times; ++i) {
        server_->sessions().tick();
    }
}

bool ipv6_loopback_available() {
    boost::asio::io_context io;
    ip::udp::socket socket(io);
    boost::system::error_code error;
    socket.open(ip::udp::v6(), error);
    if (!error) {
        socket.bind(ip::udp::endpoint(ip::address_v6::loopback(), 0), error);
    }
    return !error;
}

netconnection_client::netconnection_client(const udp_endpoint& server, client_options options)
    : client_(server, options) {}

bool netconnection_client::open() {
    if (!client_.handshake(wait)) {
        return false;
    }
    flow_ = client_.open_flow(netconnection_signature);
    return true;
}

bool netconnection_client::connect(const std::string& tc_url) {
    if (!open()) {
        return false;
    }
    const std::optional<bytes> reply = call(command_message("connect", 1, connect_object(tc_url)));
    bytes result{0x14, 0, 0, 0, 0};
    append(result, amf0_text("_result"));
    return reply && reply->size() >= result.size() &&
           std::equal(result.begin(), result.end(), reply->begin());
}

void netconnection_client::send(const bytes& message) {
    client_.send_message(flow_, message);
    client_.flush();
}

std::optional<bytes> netconnection_client::call(const bytes& message) {
    const std::size_t before = answers().size();
    send(message);
    const bool answered = client_.run_until(
        [&] { return answers().size() > before || client_.session_ended(); }, wait);
    const std::vector<bytes> now = answers();
    if (!answered || now.size() <= before) {
        return std::nullopt;
    }
    return now[before];
}

// The connectivity results come whenever a NAT check ends, which on a busy
// machine may be between a call and its answer.
std::vector<bytes> netconnection_client::answers() {
    constexpr std::string_view results = "NetConnection.ConnectivityCheck.Results";
    std::vector<bytes> found = replies();
    std::erase_if(found, [results](const bytes& message) {
        return std::search(message.begin(), message.end(), results.begin(), results.end()) !=
               message.end();
    });
    return found;
}

bool netconnection_client::wait_for_end(std::chrono::milliseconds timeout) {
    return client_.run_until([&] { return client_.session_ended(); }, timeout);
}

std::vector<bytes> netconnection_client::replies() {
    const server_flow* flow = client_.flow_answering(flow_);
    return flow == nullptr ? std::vector<bytes>{} : flow->messages;
}

std::optional<bytes> settled_call(netconnection_client& client, const bytes& call) {
    const std::optional<bytes> answer = client.call(call);
    if (!client.call(stat_call(99))) {
        return std::nullopt;
    }
    return answer;
}

void netgroup_member::join_by_specifier(const std::string& specifier) {
    bytes join{0x10};
    join.insert(join.end(), specifier.begin(), specifier.end());
    send(join);
}

void netgroup_member::join_by_id(const bytes& id) {
    bytes join{0x15};
    append(join, id);
    send(join);
}

void netgroup_member::send(const bytes& join) {
    if (flow_ == 0) {
        flow_ = c_.client().open_flow(netgroup_signature);
    }
    bytes message{0x01};
    append(message, test_client::vlu(static_cast<std::uint32_t>(join.size())));
    append(message, join);
    c_.client().send_message(flow_, message);
    c_.client().flush();
}

std::vector<bytes> netgroup_member::messages() {
    const server_flow* flow = flow_ ? c_.client().flow_answering(flow_) : nullptr;
    return flow == nullptr ? std::vector<bytes>{} : flow->messages;
}

std::vector<bytes> netgroup_member::members() {
    std::vector<bytes> ids;
    for (const bytes& message : messages()) {
        if (!message.empty()) {
            ids.emplace_back(message.begin() + 1, message.end());
        }
    }
    return ids;
}

bool netgroup_member::wait_for_members(std::size_t count, std::chrono::milliseconds timeout) {
    return c_.client().run_until([&] { return members().size() >= count; }, timeout);
}

}  // namespace rtmfp_test
