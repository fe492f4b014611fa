#include "rtmfp/tests/lossy_relay.hpp"

#include <poll.h>

#include <algorithm>

namespace rtmfp_test {

namespace {

namespace ip = boost::asio::ip;

constexpr auto hold_at_most = std::chrono::milliseconds(5);
constexpr int max_taken_at_once = 16;

std::unique_ptr<ip::udp::socket> loopback_socket(boost::asio::io_context& io) {
    auto socket =
        std::make_unique<ip::udp::socket>(io, ip::udp::endpoint(ip::make_address("127.0.0.1"), 0));
    socket->non_blocking(true);
    boost::system::error_code ignored;
    socket->set_option(boost::asio::socket_base::receive_buffer_size(8 << 20), ignored);
    return socket;
}

}  // namespace

lossy_relay::lossy_relay(const udp::endpoint& server, relay_options options)
    : server_(server), front_(loopback_socket(io_)), options_(options), random_(options.seed) {
    front_endpoint_ = front_->local_endpoint();
    backs_.push_back(loopback_socket(io_));
    thread_ = std::thread([this] { run(); });
}

lossy_relay::~lossy_relay() {
    stopping_ = true;
    thread_.join();
}

lossy_relay::udp::endpoint lossy_relay::client_seen_at() const {
    std::lock_guard lock(mutex_);
    return backs_.back()->local_endpoint();
}

void lossy_relay::set_options(relay_options options) {
    std::lock_guard lock(mutex_);
    options_ = options;
    random_.seed(options.seed);
}

void lossy_relay::move_client() {
    std::lock_guard lock(mutex_);
    backs_.push_back(loopback_socket(io_));
}

void lossy_relay::run() {
    while (!stopping_) {
        std::vector<pollfd> readable{{front_->native_handle(), POLLIN, 0}};
        {
            std::lock_guard lock(mutex_);
            for (const auto& back : backs_) {
                readable.push_back({back->native_handle(), POLLIN, 0});
            }
        }
        ::poll(readable.data(), readable.size(), 2);

        std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < readable.size(); ++i) {
            if ((readable[i].revents & POLLIN) == 0) {
                continue;
            }
            udp::socket& socket = i == 0 ? *front_ : *backs_[i - 1];
            // A few at a time, so that a busy direction cannot starve the
            // other.
            for (int taken = 0; taken < max_taken_at_once; ++taken) {
                std::vector<std::uint8_t> datagram(65536);
                udp::endpoint from;
                boost::system::error_code error;
                const std::size_t length =
                    socket.receive_from(boost::asio::buffer(datagram), from, 0, error);
                if (error) {
                    break;
                }
                datagram.resize(length);
                if (i == 0) {
                    client_ = from;
                }
                pass(std::move(datagram), i == 0);
            }
        }
        const auto now = std::chrono::steady_clock::now();
        for (bool to_server : {true, false}) {
            const bool stale = std::any_of(held_.begin(), held_.end(), [&](const held_datagram& h) {
                return h.to_server == to_server && now - h.since > hold_at_most;
            });
            if (stale) {
                release_held(to_server);
            }
        }
    }
}

// Under the mutex.
void lossy_relay::pass(std::vector<std::uint8_t> datagram, bool to_server) {
    std::uniform_real_distribution<double> chance(0, 1);
    if (chance(random_) < options_.drop) {
        ++dropped_;
        return;
    }
    if (chance(random_) < options_.duplicate) {
        ++duplicated_;
        send(datagram, to_server);
    }
    if (chance(random_) < options_.reorder) {
        ++reordered_;
        held_.push_back({std::move(datagram), to_server, std::chrono::steady_clock::now()});
        return;
    }
    send(datagram, to_server);
    release_held(to_server);
}

void lossy_relay::release_held(bool to_server) {
    std::vector<held_datagram> keep;
    for (held_datagram& h : held_) {
        if (h.to_server == to_server) {
            send(h.bytes, to_server);
        } else {
            keep.push_back(std::move(h));
        }
    }
    held_ = std::move(keep);
}

void lossy_relay::send(const std::vector<std::uint8_t>& datagram, bool to_server) {
    boost::system::error_code ignored;
    if (to_server) {
        backs_.back()->send_to(boost::asio::buffer(datagram), server_, 0, ignored);
    } else if (client_) {
        front_->send_to(boost::asio::buffer(datagram), *client_, 0, ignored);
    } else {
        return;
    }
    ++forwarded_;
}

}  // namespace rtmfp_test
