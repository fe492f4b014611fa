#include "rtmfp/server.hpp"

#include <sys/socket.h>

#include <boost/asio/ip/v6_only.hpp>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

using udp = boost::asio::ip::udp;

constexpr int receive_buffer_size = 4 * 1024 * 1024;

// How long stop() waits for the sessions' last packets.
constexpr std::chrono::seconds send_drain_time(1);

// Throws naming the address and the port.
std::shared_ptr<rtmfp_socket> open_socket(boost::asio::io_context& io, const udp::endpoint& at) {
    udp::socket socket(io);
    try {
        socket.open(at.protocol());
        if (at.address().is_v6()) {
            socket.set_option(boost::asio::ip::v6_only(true));
        }
        socket.bind(at);
    } catch (const boost::system::system_error& e) {
        std::ostringstream name;
        name << "UDP " << at << ": " << e.what();
        throw std::runtime_error(name.str());
    }
    // Room for the bursts of many clients at once while the threads are
    // busy (the kernel keeps what it allows of it).
    boost::system::error_code ignored;
    socket.set_option(boost::asio::socket_base::receive_buffer_size(receive_buffer_size), ignored);
    return std::make_shared<rtmfp_socket>(std::move(socket));
}

bool passes_size_filter(std::size_t length) {
    return length >= rtmfp_min_packet_size && length <= rtmfp_max_packet_size &&
           (length - 4) % 16 == 0;
}

}  // namespace

rtmfp_server::rtmfp_server(const std::vector<endpoint>& listen, std::uint16_t detect_nat_port1,
                           std::uint16_t detect_nat_port2, const rtmfp_server_limits& limits,
                           rtmfp_server_options options)
    : options_(options), pool_(rtmfp_max_packet_size, 1000), io_(io_service_pool::deferred_start) {
    state_.detect_nat_port1 = detect_nat_port1;
    state_.detect_nat_port2 = detect_nat_port2;
    state_.limits = limits;
    std::string first_failure;
    for (const endpoint& address : listen) {
        try {
            listen_sockets opened;
            opened.main = open_socket(io_.pick(), address);
            opened.detect_nat_port1 =
                open_socket(io_.pick(), endpoint(address.address(), detect_nat_port1));
            opened.detect_nat_port2 =
                open_socket(io_.pick(), endpoint(address.address(), detect_nat_port2));
            sockets_.push_back(std::move(opened));
        } catch (const std::exception& e) {
            // This address is left out; the sockets opened for it close.
            if (first_failure.empty()) {
                first_failure = e.what();
            }
        }
    }
    if (sockets_.empty()) {
        throw std::runtime_error("No sockets were opened successfully" +
                                 (first_failure.empty() ? "" : ": " + first_failure));
    }
    std::vector<std::shared_ptr<rtmfp_socket>> main_sockets;
    for (const listen_sockets& opened : sockets_) {
        main_sockets.push_back(opened.main);
        state_.detect_nat_endpoints.push_back(opened.detect_nat_port1->local_endpoint());
        state_.detect_nat_port2_sockets.push_back(opened.detect_nat_port2);
    }
    state_.timers =
        options_.timers ? options_.timers : std::make_shared<rtmfp_io_timers>(io_.pick());
    sessions_ = std::make_unique<rtmfp_server_sessions>(
        io_.pick(), pool_, std::move(main_sockets), state_, options_.pending, options_.handshakes);
}

rtmfp_server::~rtmfp_server() {
    join();
}

void rtmfp_server::start(std::size_t threads) {
    sessions_->set_handshake_workers(threads > 1 ? threads - 1 : 1);
    io_.start(threads);
    for (std::size_t i = 0; i < sockets_.size(); ++i) {
        arm_receive(i, socket_kind::main);
        arm_receive(i, socket_kind::detect_nat);
    }
    if (options_.tick_timer) {
        sessions_->start_timer();
    }
}

void rtmfp_server::stop() {
    if (stopping_.exchange(true)) {
        return;
    }
    sessions_->stop();
    // The sessions' last packets (the session ends among them) leave before
    // the sockets close, unless the threads are too busy to send them.
    const auto deadline = std::chrono::steady_clock::now() + send_drain_time;
    while (sessions_->sending() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (const listen_sockets& opened : sockets_) {
        boost::system::error_code ignored;
        opened.main->close(ignored);
        opened.detect_nat_port1->close(ignored);
        opened.detect_nat_port2->close(ignored);
    }
}

void rtmfp_server::join() {
    stop();
    io_.stop();
}

std::vector<rtmfp_server::endpoint> rtmfp_server::local_endpoints() const {
    std::vector<endpoint> bound;
    for (const listen_sockets& opened : sockets_) {
        bound.push_back(opened.main->local_endpoint());
    }
    return bound;
}

std::vector<rtmfp_server::endpoint> rtmfp_server::detect_nat_endpoints() const {
    std::vector<endpoint> bound;
    for (const listen_sockets& opened : sockets_) {
        bound.push_back(opened.detect_nat_port1->local_endpoint());
    }
    return bound;
}

void rtmfp_server::arm_receive(std::size_t index, socket_kind kind) {
    if (stopping_) {
        return;
    }
    listen_sockets& opened = sockets_[index];
    const bool main = kind == socket_kind::main;
    block_buffer block(pool_);
    const boost::asio::mutable_buffer space(block.data(), block.capacity());
    // MSG_TRUNC: a datagram longer than the block shows its real length
    // (Linux would cut it silently) and is dropped below.
    (main ? opened.main : opened.detect_nat_port1)
        ->async_receive_from(
            space, main ? opened.main_sender : opened.detect_nat_sender, MSG_TRUNC,
            [this, index, kind, block = std::move(block)](const boost::system::error_code& error,
                                                          std::size_t length) mutable {
                on_receive(index, kind, std::move(block), error, length);
            });
}

void rtmfp_server::on_receive(std::size_t index, socket_kind kind, block_buffer block,
                              const boost::system::error_code& error, std::size_t length) {
    if (error) {
        block.reset();
        arm_receive(index, kind);
        return;
    }
    const bool main = kind == socket_kind::main;
    // The slot belongs to the next receive once the socket is re-armed.
    const endpoint from = main ? sockets_[index].main_sender : sockets_[index].detect_nat_sender;
    rtmfp_rearm rearm([this, index, kind] { arm_receive(index, kind); });
    if (passes_size_filter(length)) {
        block.set_size(static_cast<std::uint32_t>(length));
        try {
            if (main) {
                sessions_->dispatch(index, std::move(block), from, rearm);
            } else {
                sessions_->dispatch_detect_nat(index, std::move(block), from);
            }
        } catch (const std::exception&) {
            // Dropped; the socket goes on receiving and other clients
            // notice nothing.
        }
    }
    block.reset();
    rearm();
}
