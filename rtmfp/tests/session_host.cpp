#include "rtmfp/tests/session_host.hpp"

#include <boost/asio/socket_base.hpp>

#include <cstring>

namespace rtmfp_test {

namespace {

namespace ip = boost::asio::ip;

bytes whole_message(const buffer_reader& message) {
    return bytes(message.data, message.data + message.size);
}

}  // namespace

void recording_stream::on_audio(std::uint32_t time, const std::uint8_t* bytes_in,
                                std::uint32_t length) {
    record_->audio.push_back({time, bytes(bytes_in, bytes_in + length)});
}

void recording_stream::on_video(std::uint32_t time, const std::uint8_t* bytes_in,
                                std::uint32_t length) {
    record_->video.push_back({time, bytes(bytes_in, bytes_in + length)});
}

void recording_stream::on_command(buffer_reader& args, light_string name, double transaction_id,
                                  amf0_based& command_object) {
    record_->commands.push_back({std::string(name.data, name.size), transaction_id,
                                 command_object.marker == amf0_null::type_marker,
                                 bytes(args.data + args.pos, args.data + args.size)});
}

void recording_stream::on_data(std::int32_t, buffer_reader& message) {
    record_->data.push_back(whole_message(message));
    if (echo_) {
        write(record_->data.back());
    }
}

bool recording_stream::write(const bytes& message) {
    rtmfp_out_flow_writer* writer = begin_message();
    if (writer == nullptr) {
        return false;
    }
    writer->write_bytes(message.data(), static_cast<std::uint32_t>(message.size()));
    writer->flush();
    return true;
}

rtmfp_session_setup test_session_setup(const udp_endpoint& peer) {
    rtmfp_session_setup setup;
    setup.session_id = 0x00000102;
    setup.far_session_id = 0x0A0B0C0D;
    setup.encrypt_key = {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87,
                         0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED, 0xFE, 0x0F};
    setup.decrypt_key = {0xF1, 0xE2, 0xD3, 0xC4, 0xB5, 0xA6, 0x97, 0x88,
                         0x79, 0x6A, 0x5B, 0x4C, 0x3D, 0x2E, 0x1F, 0x00};
    for (std::size_t i = 0; i < setup.peer_id.size(); ++i) {
        setup.peer_id[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    setup.peer = peer;
    return setup;
}

session_host::session_host(host_options options)
    : options_(std::move(options)), pool_(rtmfp_max_packet_size, 1000) {
    ip::udp::socket socket(io_, ip::udp::endpoint(ip::make_address("127.0.0.1"), 0));
    boost::system::error_code ignored;
    socket.set_option(boost::asio::socket_base::receive_buffer_size(8 << 20), ignored);
    endpoint_ = socket.local_endpoint();
    socket_ = std::make_shared<rtmfp_socket>(std::move(socket));
}

session_host::~session_host() {
    shutdown();
}

void session_host::shutdown() {
    stop();
    if (active_) {
        active_->close();
    }
    // Sends still under way complete (or are aborted) before the session
    // and its blocks go.
    io_.restart();
    while (io_.poll() != 0) {
    }
    session_.reset();
    active_.reset();
}

client_keys session_host::keys_for_client() const {
    return client_keys::facing(test_session_setup(endpoint_));
}

const std::shared_ptr<test_session>& session_host::open(const udp_endpoint& peer) {
    session_ = std::make_shared<test_session>(pool_, socket_, test_session_setup(peer),
                                              options_.clock, options_.steady_clock, options_.echo);
    active_ = session_;
    arm();
    return session_;
}

void session_host::adopt(std::shared_ptr<rtmfp_session> session) {
    active_ = std::move(session);
    arm();
}

void session_host::arm() {
    block_buffer block(pool_);
    const auto space = boost::asio::buffer(block.data(), block.capacity());
    socket_->async_receive_from(
        space, sender_,
        [this, block = std::move(block)](const boost::system::error_code& error,
                                         std::size_t length) mutable {
            if (error) {
                if (!stopping_) {
                    arm();
                }
                return;
            }
            ++datagrams_;
            block.set_size(static_cast<std::uint32_t>(length));
            // The slot is the next receive's once the socket is re-armed.
            const udp_endpoint from = sender_;
            dispatch(std::move(block), from, true);
        });
}

void session_host::dispatch(block_buffer datagram, const udp_endpoint& from, bool rearm) {
    // The server's filter: whole AES blocks behind the id, one packet at most.
    const std::uint32_t length = datagram.size();
    const bool plausible = length >= rtmfp_min_packet_size && length <= rtmfp_max_packet_size &&
                           (length - 4) % 16 == 0 &&
                           rtmfp_session_id_of({datagram.data(), length}) == active_->session_id();
    if (!plausible || active_->receive(datagram, from)) {
        if (rearm) {
            arm();
        }
        return;
    }
    // This thread decodes: another may receive meanwhile.
    if (rearm) {
        arm();
    }
    active_->process(std::move(datagram), from);
}

void session_host::deliver(const bytes& datagram, const udp_endpoint& from) {
    block_buffer block(pool_);
    std::memcpy(block.data(), datagram.data(),
                std::min<std::size_t>(datagram.size(), block.capacity()));
    block.set_size(
        static_cast<std::uint32_t>(std::min<std::size_t>(datagram.size(), block.capacity())));
    dispatch(std::move(block), from, false);
}

void session_host::poll() {
    io_.restart();
    while (io_.poll() != 0) {
    }
}

void session_host::run_threads(int count) {
    for (int i = 0; i < count; ++i) {
        threads_.emplace_back([this] { io_.run(); });
    }
}

void session_host::tick_every(std::chrono::milliseconds interval) {
    ticker_ = std::thread([this, interval] {
        while (!stopping_ && !dead_) {
            std::this_thread::sleep_for(interval);
            if (!stopping_ && !active_->tick()) {
                dead_ = true;
            }
        }
    });
}

void session_host::stop() {
    if (stopping_.exchange(true)) {
        return;
    }
    if (ticker_.joinable()) {
        ticker_.join();
    }
    boost::system::error_code ignored;
    socket_->close(ignored);
    // The session's flow timer may still wait: what is left runs in
    // shutdown(), after the session closed.
    io_.stop();
    for (std::thread& thread : threads_) {
        thread.join();
    }
    threads_.clear();
}

stepped_session::stepped_session(client_options options, bool echo)
    : host(host_options{echo, clock.function(), clock.steady_function()}),
      client(host.keys_for_client(), host.endpoint(), options),
      session(host.open(client.local_endpoint())) {}

void stepped_session::exchange() {
    host.poll();
    client.receive();
}

}  // namespace rtmfp_test
