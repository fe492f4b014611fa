#include "rtmfp/detect_nat.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/endian/conversion.hpp>

#include <algorithm>
#include <memory>

#include "foundation/crypto.hpp"
#include "rtmfp/chunks.hpp"

namespace {

constexpr std::array<std::uint8_t, 4> probe_mark = {'D', 'N', 'A', 'T'};
constexpr std::size_t mark_offset = 12;

std::uint32_t word_at(const std::uint8_t* bytes) {
    return boost::endian::load_big_u32(bytes);
}

}  // namespace

rtmfp_probe_tag rtmfp_make_probe_tag(std::uint32_t session_id) {
    rtmfp_probe_tag tag{};
    random_bytes(tag.data() + 4, 8);
    const std::uint32_t folded = session_id ^ word_at(tag.data() + 4) ^ word_at(tag.data() + 8);
    boost::endian::store_big_u32(tag.data(), folded);
    std::copy(probe_mark.begin(), probe_mark.end(), tag.begin() + mark_offset);
    return tag;
}

std::optional<std::uint32_t> rtmfp_probe_tag_session(rtmfp_bytes tag) {
    if (tag.size() < std::tuple_size_v<rtmfp_probe_tag> ||
        !std::equal(probe_mark.begin(), probe_mark.end(), tag.begin() + mark_offset)) {
        return std::nullopt;
    }
    return word_at(tag.data()) ^ word_at(tag.data() + 4) ^ word_at(tag.data() + 8);
}

rtmfp_detect_nat::rtmfp_detect_nat(reply_handler on_reply)
    : decrypt_(rtmfp_default_key, rtmfp_cipher::direction::decrypt),
      on_reply_(std::move(on_reply)) {}

void rtmfp_detect_nat::receive(block_buffer& datagram, const endpoint& from) {
    if (!rtmfp_open_packet(datagram.data(), datagram.size(), decrypt_)) {
        return;
    }
    rtmfp_packet_reader packet(datagram.data() + rtmfp_marker_offset,
                               datagram.size() - rtmfp_marker_offset);
    rtmfp_read_header(packet);
    while (std::optional<rtmfp_packet_reader> chunk = rtmfp_next_chunk(packet)) {
        if (chunk->read_u8() != rtmfp_handshake_rep::chunk_type) {
            continue;
        }
        chunk->read_u16_be();
        const rtmfp_bytes tag = rtmfp_read_vlu_bytes(*chunk);
        if (const std::optional<std::uint32_t> session_id = rtmfp_probe_tag_session(tag)) {
            on_reply_(*session_id, from, tag);
        }
    }
}

void rtmfp_io_timers::after(std::chrono::milliseconds delay, std::function<void()> due) {
    auto timer = std::make_shared<boost::asio::steady_timer>(io_, delay);
    timer->async_wait([timer, due = std::move(due)](const boost::system::error_code& error) {
        if (!error) {
            due();
        }
    });
}
