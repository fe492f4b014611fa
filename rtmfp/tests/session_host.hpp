#pragma once

// Sessions under test, fed from a UDP socket of the test's own the way the
// server feeds them: the receive path hands a datagram to receive() and,
// when that returns false, re-arms the socket and calls process().

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "rtmfp/session.hpp"
#include "rtmfp/tests/test_client.hpp"

namespace rtmfp_test {

// A time source in 4-ms units that only the test moves.
class manual_clock {
  public:
    explicit manual_clock(std::uint64_t start = 100000)
        : now_(std::make_shared<std::atomic<std::uint64_t>>(start)) {}

    rtmfp_clock function() const {
        return [now = now_] { return now->load(); };
    }
    // The same time as a steady clock's, for the flows' round trips.
    rtmfp_steady_clock steady_function() const {
        return
            [now = now_] { return rtmfp_steady_time(std::chrono::milliseconds(4 * now->load())); };
    }
    std::uint64_t now() const { return now_->load(); }
    void advance(std::uint64_t units) { *now_ += units; }

  private:
    std::shared_ptr<std::atomic<std::uint64_t>> now_;
};

// What a recording stream was given.
struct stream_record {
    struct command {
        std::string name;
        double transaction = 0;
        bool null_object = false;
        // The arguments after the command object.
        bytes arguments;
    };
    struct media {
        std::uint32_t time = 0;
        bytes payload;
    };

    // Data messages whole, their type byte first.
    std::vector<bytes> data;
    std::vector<command> commands;
    std::vector<media> audio;
    std::vector<media> video;
};

// Keeps what arrives; with `echo`, writes every data message back.
class recording_stream : public rtmfp_netstream {
  public:
    recording_stream(std::uint32_t id, std::shared_ptr<rtmfp_session> session,
                     std::shared_ptr<stream_record> record, bool echo)
        : rtmfp_netstream(id, std::move(session)), echo_(echo), record_(std::move(record)) {}

    void on_audio(std::uint32_t time, const std::uint8_t* bytes, std::uint32_t length) override;
    void on_video(std::uint32_t time, const std::uint8_t* bytes, std::uint32_t length) override;
    void on_command(buffer_reader& args, light_string name, double transaction_id,
                    amf0_based& command_object) override;
    void on_data(std::int32_t kind, buffer_reader& message) override;

    // A message into the stream's out flow; false without one.
    bool write(const bytes& message);

    const stream_record& record() const noexcept { return *record_; }

  private:
    const bool echo_;
    const std::shared_ptr<stream_record> record_;
};

// A session whose streams are recording streams.
class test_session : public rtmfp_session {
  public:
    test_session(block_malloc& pool, std::shared_ptr<rtmfp_socket> socket,
                 const rtmfp_session_setup& setup, rtmfp_clock clock,
                 rtmfp_steady_clock steady_clock, bool echo)
        : rtmfp_session(pool, std::move(socket), 0, setup, std::move(clock),
                        std::move(steady_clock)),
          echo_(echo) {}

    // Under the processing mutex.
    std::shared_ptr<recording_stream> recording(std::uint32_t id) const {
        return std::dynamic_pointer_cast<recording_stream>(find_stream(id));
    }
    // What the last stream of an id was given, also once it is gone; empty
    // when there was none. Under the processing mutex.
    stream_record record_of(std::uint32_t id) const {
        const auto it = records_.find(id);
        return it == records_.end() ? stream_record{} : *it->second;
    }
    // Why the peer's data closed the session (under the processing mutex).
    const std::vector<std::string>& errors() const noexcept { return errors_; }

  protected:
    std::shared_ptr<rtmfp_netstream> create_stream(std::uint32_t id) override {
        auto record = std::make_shared<stream_record>();
        records_[id] = record;
        return std::make_shared<recording_stream>(id, shared_session(), std::move(record), echo_);
    }
    void on_protocol_error(const std::exception& error) override {
        errors_.emplace_back(error.what());
    }

  private:
    const bool echo_;
    std::map<std::uint32_t, std::shared_ptr<stream_record>> records_;
    std::vector<std::string> errors_;
};

// Keys and ids of the sessions of these tests.
rtmfp_session_setup test_session_setup(const udp_endpoint& peer);

struct host_options {
    bool echo = false;
    rtmfp_clock clock = rtmfp_now;
    rtmfp_steady_clock steady_clock = std::chrono::steady_clock::now;
};

class session_host {
  public:
    explicit session_host(host_options options = {});
    ~session_host();

    session_host(const session_host&) = delete;
    session_host& operator=(const session_host&) = delete;

    // Where clients send.
    udp_endpoint endpoint() const { return endpoint_; }
    client_keys keys_for_client() const;
    block_malloc& pool() noexcept { return pool_; }

    // Makes the session; its peer is at `peer` until a datagram says
    // otherwise.
    const std::shared_ptr<test_session>& open(const udp_endpoint& peer);
    const std::shared_ptr<test_session>& session() const noexcept { return session_; }
    // Or takes a session of another kind, made with test_session_setup() on
    // this host's pool and socket.
    void adopt(std::shared_ptr<rtmfp_session> session);
    const std::shared_ptr<rtmfp_socket>& socket() const noexcept { return socket_; }

    // On the calling thread: runs what is ready (receives, decoding, sends)
    // until nothing is.
    void poll();
    // Or threads that run it, and a thread that ticks the session.
    void run_threads(int count);
    void tick_every(std::chrono::milliseconds interval);
    // Ends the threads and the socket.
    void stop();
    // stop(), closes the session and lets it go once its sends are over:
    // then every block is back in the pool.
    void shutdown();

    // Hands a datagram in as the receive path would, as if it came from
    // `from`.
    void deliver(const bytes& datagram, const udp_endpoint& from);

    // Runs `f` with the session under its processing mutex.
    template <class F>
    auto locked(F&& f) {
        auto lock = session_->lock_processing();
        return f(*session_);
    }

    std::uint64_t datagrams_received() const noexcept { return datagrams_; }
    // The tick thread found the session dead.
    bool session_dead() const noexcept { return dead_; }

  private:
    void arm();
    void dispatch(block_buffer datagram, const udp_endpoint& from, bool rearm);

    const host_options options_;
    block_malloc pool_;
    boost::asio::io_context io_;
    std::shared_ptr<rtmfp_socket> socket_;
    udp_endpoint endpoint_;
    udp_endpoint sender_;
    std::shared_ptr<test_session> session_;
    // The session datagrams and ticks go to.
    std::shared_ptr<rtmfp_session> active_;
    std::vector<std::thread> threads_;
    std::thread ticker_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> dead_{false};
    std::atomic<std::uint64_t> datagrams_{0};
};

// A client and a session that one thread steps through an exchange, the
// session on a clock of the test's (both its clocks: a flow's time-out
// passes only when the test moves it, and the test then calls
// resend_overdue()).
struct stepped_session {
    explicit stepped_session(client_options options = {}, bool echo = false);

    // The session takes what the client sent and answers, then the client
    // reads the answers (what it sends back waits for the next exchange).
    void exchange();

    manual_clock clock;
    session_host host;
    test_client client;
    std::shared_ptr<test_session> session;
};

}  // namespace rtmfp_test
