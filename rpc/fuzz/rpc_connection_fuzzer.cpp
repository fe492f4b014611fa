// Drives one connection of the RPC server, the real connection object on a
// real socket, from a peer whose bytes and moves come from the input: frames
// cut at any point, the server's one-second sweeps, a peer that stops
// reading or hangs up. The methods are the administration endpoint's
// signatures; all but the login become available once a login succeeds.
//
// What the connection writes must be whole frames: keep-alives, and replies
// to what the peer sent, in the order it was sent, with the status the
// method's availability gives and, on success, the method's results.
//
// The input is a run of moves, each a byte and what it takes:
//   0: send the next (byte + 1) bytes;    1: send the next (byte + 1) * 64;
//   2: (byte % 32 + 1) sweeps;             3: stop or start reading replies;
//   4: hang up.

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "rpc/rpc_codec.hpp"
#include "rpc/rpc_frame.hpp"
#include "rpc/rpc_tcp_connection.hpp"
#include "rpc/rpc_tcp_server.hpp"

namespace {

using namespace rpc;

constexpr std::uint32_t login = 1;
const std::string password = "secret";

template <typename... Values>
bool decodes(const std::uint8_t* data, std::size_t size) {
    try {
        decode_values<Values...>(data, size);
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

using results_check = bool (*)(const std::uint8_t*, std::size_t);
constexpr results_check bool_results = decodes<bool, std::string>;
constexpr results_check map_results = decodes<string_map, std::string>;

// What each method answers with on success.
const std::map<std::uint32_t, results_check> methods = {
    {login, bool_results}, {2, map_results},
    {3, bool_results},     {4, bool_results},
    {5, map_results},      {6, bool_results},
    {7, bool_results},     {8, map_results},
    {9, bool_results},     {10, map_results},
    {11, bool_results},    {12, bool_results},
    {13, map_results},     {14, decodes<string_map_vector, std::string>},
    {15, bool_results},    {16, bool_results},
    {17, map_results},     {18, bool_results},
};

// Results made from the arguments, so that what the peer sends shapes the
// replies (two strings joined can pass a string's limit: no reply then).
void register_methods(remote_call_mgr& connection) {
    connection.add_method(
        2, [](map_reply reply, std::int32_t number, std::string key, string_map values) {
            values[key] = std::to_string(number);
            reply(values, "");
        });
    connection.add_method(3, [](bool_reply reply, std::string key, string_map values) {
        reply(values.contains(key), key);
    });
    for (std::uint32_t id : {4u, 6u, 18u}) {
        connection.add_method(
            id, [](bool_reply reply, std::string text) { reply(text.empty(), text); });
    }
    for (std::uint32_t id : {5u, 8u, 10u}) {
        connection.add_method(id, [](map_reply reply, std::string text) {
            reply({{text, text}}, "");
        });
    }
    connection.add_method(7,
                          [](bool_reply reply, std::string text, bool flag) { reply(flag, text); });
    connection.add_method(9,
                          [](bool_reply reply, std::string text, bool flag, std::uint32_t number) {
                              reply(flag, text + std::to_string(number));
                          });
    for (std::uint32_t id : {11u, 12u}) {
        connection.add_method(id, [](bool_reply reply) { reply(true, ""); });
    }
    for (std::uint32_t id : {13u, 17u}) {
        connection.add_method(id, [](map_reply reply) { reply({{"name", "value"}}, ""); });
    }
    connection.add_method(14, [](map_vector_reply reply) {
        reply(string_map_vector(3, {{"name", "value"}}), "");
    });
    for (std::uint32_t id : {15u, 16u}) {
        connection.add_method(id, [](bool_reply reply, std::string first, std::string second) {
            reply(first == second, first + second);
        });
    }
}

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// What the peer expects back for one frame it sent.
struct expected_answer {
    std::uint64_t call_id;
    std::uint32_t method;  // keep_alive_kind: the answer to a keep-alive
    bool available;        // the method was there when the frame arrived
};

// Follows both directions of the stream on the peer's side.
class peer_model {
  public:
    // Bytes the peer sent and the connection will read, in order.
    void sent(const std::uint8_t* data, std::size_t size) {
        if (broken_) {
            return;
        }
        out_.append(reinterpret_cast<const char*>(data), size);
        while (out_.size() >= frame_header_size) {
            const frame_header header =
                read_frame_header(reinterpret_cast<const std::uint8_t*>(out_.data()));
            if (header.payload_length > rpc_tcp_server_base::max_payload_length) {
                broken_ = true;  // the connection ends there
                return;
            }
            if (out_.size() < frame_header_size + header.payload_length) {
                return;
            }
            const auto* payload =
                reinterpret_cast<const std::uint8_t*>(out_.data()) + frame_header_size;
            on_frame(header, payload);
            out_.erase(0, frame_header_size + header.payload_length);
        }
    }

    // Bytes the connection wrote, in order.
    void received(const std::uint8_t* data, std::size_t size) {
        in_.append(reinterpret_cast<const char*>(data), size);
        while (in_.size() >= frame_header_size) {
            const frame_header header =
                read_frame_header(reinterpret_cast<const std::uint8_t*>(in_.data()));
            require(header.payload_length <= 0xFFFFFF);
            if (in_.size() < frame_header_size + header.payload_length) {
                return;
            }
            check(header, reinterpret_cast<const std::uint8_t*>(in_.data()) + frame_header_size);
            in_.erase(0, frame_header_size + header.payload_length);
        }
    }

  private:
    void on_frame(const frame_header& header, const std::uint8_t* payload) {
        if (header.kind == reply_kind) {
            return;  // replies to the server's keep-alives need no answer
        }
        const bool available = header.kind == keep_alive_kind || header.kind == login ||
                               (logged_in_ && methods.contains(header.kind));
        expected_.push_back({header.call_id, header.kind, available});
        if (header.kind == login && !logged_in_) {
            try {
                const auto [given] = decode_values<std::string>(payload, header.payload_length);
                logged_in_ = given == password;
            } catch (const std::runtime_error&) {
            }
        }
    }

    void check(const frame_header& header, const std::uint8_t* payload) {
        if (header.kind == keep_alive_kind) {
            require(header.call_id == no_call_id && header.status == call_status::success &&
                    header.payload_length == 0);
            return;
        }
        require(header.kind == reply_kind);
        // Frames are answered in turn; only a method may leave one
        // unanswered (its results over their limits).
        for (;;) {
            require(!expected_.empty());
            const expected_answer expected = expected_.front();
            expected_.pop_front();
            if (fits(expected, header, payload)) {
                return;
            }
            require(expected.method != keep_alive_kind && expected.available);
        }
    }

    static bool fits(const expected_answer& expected, const frame_header& reply,
                     const std::uint8_t* payload) {
        if (expected.method == keep_alive_kind) {
            return reply.call_id == no_call_id && reply.status == call_status::success &&
                   reply.payload_length == 0;
        }
        if (reply.call_id != expected.call_id) {
            return false;
        }
        if (!expected.available) {
            return reply.status == call_status::no_such_method && reply.payload_length == 0;
        }
        if (reply.status == call_status::bad_arguments) {
            return reply.payload_length == 0;
        }
        return reply.status == call_status::success &&
               methods.at(expected.method)(payload, reply.payload_length);
    }

    std::string out_, in_;
    std::deque<expected_answer> expected_;
    bool logged_in_ = false;
    bool broken_ = false;
};

// A connection as the server makes it, on one end of a socket pair; the
// test holds the other end.
class harness {
  public:
    harness() {
        int ends[2];
        require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) == 0);
        peer_ = ends[0];
        connection_ = std::make_shared<rpc_tcp_connection>(io_, rpc_tcp_server_base::read_size,
                                                           rpc_tcp_server_base::max_payload_length);
        connection_->on_created();
        connection_->socket().assign(boost::asio::ip::tcp::v4(), ends[1]);
        connection_->add_method(login, [](bool_reply reply, std::string given) {
            const bool accepted = given == password;
            if (accepted) {
                register_methods(*reply.manager());
            }
            reply(accepted, accepted ? "" : "BAD_PASSWORD:wrong password");
        });
        connection_->start_receive();
        settle();
    }

    ~harness() {
        hang_up();
        connection_.reset();
        io_.run();
    }

    harness(const harness&) = delete;
    harness& operator=(const harness&) = delete;

    void send(const std::uint8_t* data, std::size_t size) {
        while (size > 0 && peer_ >= 0) {
            const ssize_t n = ::send(peer_, data, size, MSG_NOSIGNAL);
            if (n <= 0) {
                // A full socket: give the connection a turn; if it takes
                // nothing, the rest is dropped as an unread peer's would be.
                if (!settle()) {
                    return;
                }
                continue;
            }
            model_.sent(data, static_cast<std::size_t>(n));
            data += n;
            size -= static_cast<std::size_t>(n);
            settle();
        }
    }

    void sweep(unsigned times) {
        for (unsigned i = 0; i < times; ++i) {
            connection_->sweep_calls();
        }
        settle();
    }

    void toggle_reading() {
        reading_ = !reading_;
        settle();
    }

    void hang_up() {
        if (peer_ >= 0) {
            ::close(peer_);
            peer_ = -1;
        }
        settle();
    }

  private:
    // Runs what is ready and reads what arrived; true when anything happened.
    bool settle() {
        bool progress = false;
        for (;;) {
            std::size_t handled = io_.poll();
            io_.restart();
            if (reading_ && peer_ >= 0) {
                std::uint8_t buffer[65536];
                const ssize_t n = ::recv(peer_, buffer, sizeof buffer, 0);
                if (n > 0) {
                    model_.received(buffer, static_cast<std::size_t>(n));
                    ++handled;
                }
            }
            if (handled == 0) {
                return progress;
            }
            progress = true;
        }
    }

    boost::asio::io_context io_;
    std::shared_ptr<rpc_tcp_connection> connection_;
    int peer_ = -1;
    bool reading_ = true;
    peer_model model_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    harness connection;
    std::size_t at = 0;
    while (at + 2 <= size) {
        const std::uint8_t move = data[at] % 5;
        const std::size_t argument = data[at + 1];
        at += 2;
        switch (move) {
            case 0:
            case 1: {
                const std::size_t wanted = (argument + 1) * (move == 0 ? 1 : 64);
                const std::size_t count = std::min(wanted, size - at);
                connection.send(data + at, count);
                at += count;
                break;
            }
            case 2:
                connection.sweep(static_cast<unsigned>(argument % 32) + 1);
                break;
            case 3:
                connection.toggle_reading();
                break;
            default:
                connection.hang_up();
                break;
        }
    }
    return 0;
}
