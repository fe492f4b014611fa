#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <vector>

namespace rtmfp_test {

struct relay_options {
    std::uint64_t seed = 1;
    // Chances per datagram, in both directions.
    double drop = 0;
    double reorder = 0;
    double duplicate = 0;
};

// A UDP relay on 127.0.0.1 between one client and a server that loses,
// reorders and duplicates datagrams by a seeded random draw. A reordered
// datagram is held back until the next one in its direction has passed
// (or for a few milliseconds). It can also move the client to a new source
// port, as a NAT that changed its mapping would; replies to the old port
// are still passed on.
class lossy_relay {
  public:
    using udp = boost::asio::ip::udp;

    lossy_relay(const udp::endpoint& server, relay_options options);
    ~lossy_relay();

    lossy_relay(const lossy_relay&) = delete;
    lossy_relay& operator=(const lossy_relay&) = delete;

    // Where the client sends.
    udp::endpoint endpoint() const { return front_endpoint_; }
    // Where the server sees the client's datagrams come from.
    udp::endpoint client_seen_at() const;

    void set_options(relay_options options);
    void move_client();

    std::uint64_t forwarded() const noexcept { return forwarded_; }
    std::uint64_t dropped() const noexcept { return dropped_; }
    std::uint64_t duplicated() const noexcept { return duplicated_; }
    std::uint64_t reordered() const noexcept { return reordered_; }

  private:
    struct held_datagram {
        std::vector<std::uint8_t> bytes;
        bool to_server = false;
        std::chrono::steady_clock::time_point since;
    };

    void run();
    void pass(std::vector<std::uint8_t> datagram, bool to_server);
    void send(const std::vector<std::uint8_t>& datagram, bool to_server);
    void release_held(bool to_server);

    boost::asio::io_context io_;
    const udp::endpoint server_;
    std::unique_ptr<udp::socket> front_;
    udp::endpoint front_endpoint_;
    // The sockets towards the server; the last one is the client's now.
    std::vector<std::unique_ptr<udp::socket>> backs_;
    std::optional<udp::endpoint> client_;

    mutable std::mutex mutex_;
    relay_options options_;
    std::mt19937_64 random_;
    std::vector<held_datagram> held_;

    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> forwarded_{0};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::uint64_t> duplicated_{0};
    std::atomic<std::uint64_t> reordered_{0};
    std::thread thread_;
};

}  // namespace rtmfp_test
