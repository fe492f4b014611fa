#include "rtmfp/pipe.hpp"

#include <algorithm>
#include <stdexcept>

rtmfp_pipe::rtmfp_pipe(block_malloc& pool, std::shared_ptr<rtmfp_socket> socket,
                       std::int32_t socket_index, std::uint32_t session_id,
                       std::uint32_t far_session_id, const rtmfp_key& encrypt_key,
                       const rtmfp_key& decrypt_key, rtmfp_clock clock)
    : pool_(pool),
      socket_(std::move(socket)),
      socket_index_(socket_index),
      session_id_(session_id),
      far_session_id_(far_session_id),
      clock_(std::move(clock)),
      encrypt_(encrypt_key, rtmfp_cipher::direction::encrypt),
      decrypt_(decrypt_key, rtmfp_cipher::direction::decrypt) {
    if (pool.block_size() < rtmfp_max_packet_size) {
        throw std::invalid_argument("RTMFP packets need blocks of 1204 bytes");
    }
}

rtmfp_pipe::~rtmfp_pipe() = default;

bool rtmfp_pipe::receive(block_buffer& datagram, const endpoint& from) {
    {
        std::lock_guard lock(endpoint_mutex_);
        peer_endpoint_ = from;
    }
    decode_packet(std::move(datagram), from);
    return true;
}

void rtmfp_pipe::process(block_buffer, const endpoint&) {}

void rtmfp_pipe::on_packet(const endpoint&) {}

rtmfp_pipe::endpoint rtmfp_pipe::peer_endpoint() const {
    std::lock_guard lock(endpoint_mutex_);
    return peer_endpoint_;
}

bool rtmfp_pipe::decode_packet(block_buffer datagram, const endpoint& from,
                               std::uint32_t chunk_limit) {
    // Only a datagram sealed with our key is a sign of life: anyone can send
    // one with the right session id.
    if (!rtmfp_open_packet(datagram.data(), datagram.size(), decrypt_)) {
        return false;
    }
    idle_count_ = 0;
    rtmfp_packet_reader packet(datagram.data() + rtmfp_marker_offset,
                               datagram.size() - rtmfp_marker_offset);
    const rtmfp_header header = rtmfp_read_header(packet);
    if (header.has_timestamp) {
        peer_time_ = header.timestamp;
    }
    if (header.has_echo) {
        update_rtt(header.echo);
    }
    on_packet(from);

    rtmfp_command_storage storage;
    const std::uint32_t chunks = std::min(header.chunk_count, chunk_limit);
    for (std::uint32_t i = 0; i < chunks; ++i) {
        std::optional<rtmfp_packet_reader> chunk = rtmfp_next_chunk(packet);
        if (!chunk) {
            throw std::runtime_error("No more commands");
        }
        if (rtmfp_command* command = rtmfp_command::parse(*chunk, storage)) {
            handle_command(*command, from);
            storage.reset();
        }
    }
    return true;
}

void rtmfp_pipe::update_rtt(std::uint16_t echo) {
    // The echo is our own timestamp coming back; differences wrap with the
    // 16-bit clock. An implausible sample (2000 units = 8 s) is ignored.
    const auto sample = static_cast<std::uint16_t>(rtt_ + now16() - echo);
    if (sample < 2000) {
        rtt_ = static_cast<std::uint16_t>(sample >> 1);
    }
}

void rtmfp_pipe::finish_packet(rtmfp_packet_writer& out, std::uint32_t session_id) {
    rtmfp_pad_packet(out);
    rtmfp_seal_packet(out.data, out.size, session_id, encrypt_);
}

block_buffer rtmfp_pipe::begin_packet(std::optional<std::uint32_t> session_id, std::uint8_t marker,
                                      const rtmfp_command& chunk) {
    const std::uint32_t to = session_id.value_or(far_session_id_);
    block_buffer packet(pool_);
    rtmfp_packet_writer out(packet.data(), rtmfp_max_packet_size);
    out.write_u32_be(to);
    out.write_u16_be(0);
    out.write_u8(marker);
    out.write_u16_be(now16());
    if ((marker & rtmfp_marker_echo_bit) != 0) {
        out.write_u16_be(peer_time_);
    }
    chunk.write(out);
    finish_packet(out, to);
    packet.set_size(out.size);
    return packet;
}

void rtmfp_pipe::stamp_packet(block_buffer& packet) {
    const std::uint32_t length =
        std::clamp(packet.size(), rtmfp_stamped_header_size, rtmfp_max_packet_size);
    rtmfp_packet_writer out(packet.data(), rtmfp_max_packet_size);
    out.write_u32_be(far_session_id_);
    out.write_u16_be(0);
    out.write_u8(rtmfp_marker_session_echo);
    out.write_u16_be(now16());
    out.write_u16_be(peer_time_);
    out.size = length;
    finish_packet(out, far_session_id_);
    packet.set_size(out.size);
}

void rtmfp_pipe::send_to(block_buffer packet, rtmfp_send_completion on_sent) {
    send_to(std::move(packet), peer_endpoint(), std::move(on_sent));
}

void rtmfp_pipe::send_to(block_buffer packet, const endpoint& to, rtmfp_send_completion on_sent) {
    if (!socket_) {
        throw std::logic_error("RTMFP pipe without a socket");
    }
    const boost::asio::const_buffer bytes(packet.data(), packet.size());
    socket_->async_send_to(bytes, to,
                           [packet = std::move(packet), on_sent = std::move(on_sent)](
                               const boost::system::error_code& error, std::size_t) mutable {
                               // A failed send is not retried: the protocol's own resending
                               // covers lost datagrams.
                               if (on_sent) {
                                   on_sent(std::move(packet), error);
                               }
                           });
}
