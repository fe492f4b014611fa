#include "rtmp/live_delivery.hpp"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <exception>

#include "rtmp/rtmp_live_stream_player.hpp"

namespace rtmp {

namespace {

bool starts_with(const std::uint8_t* data, std::uint32_t size, std::uint8_t first,
                 std::uint8_t second, std::uint32_t more_than) {
    return size > more_than && data[0] == first && data[1] == second;
}

}  // namespace

bool is_avc_sequence_header(const std::uint8_t* data, std::uint32_t size) noexcept {
    return starts_with(data, size, 0x17, 0x00, 5);
}

bool is_aac_sequence_header(const std::uint8_t* data, std::uint32_t size) noexcept {
    return starts_with(data, size, 0xAF, 0x00, 2);
}

live_message::live_message(std::uint8_t type, const std::uint8_t* data, std::uint32_t size,
                           std::uint32_t timestamp)
    : type_(type),
      timestamp_(timestamp),
      csid_(3 * encoded_stream_id + (type == message_type::audio ? 5 : 4)),
      payload_(data, data + size) {
    if (size <= encoded_chunk_size) {
        return;
    }
    // The pieces after the first, each behind a one-byte format 3 header.
    const std::uint32_t pieces = (size + encoded_chunk_size - 1) / encoded_chunk_size;
    chunked_.reserve(size + pieces - 1);
    const auto continuation = static_cast<std::uint8_t>(3 << 6 | csid_);
    for (std::uint32_t at = 0; at < size; at += encoded_chunk_size) {
        if (at != 0) {
            chunked_.push_back(continuation);
        }
        chunked_.insert(chunked_.end(), data + at, data + std::min(size, at + encoded_chunk_size));
    }
}

void live_thread_group::hand_over(live_event event) {
    bool post = false;
    {
        std::lock_guard lock(mutex_);
        if (!waiting_) {
            waiting_ = std::make_shared<live_batch>();
            post = true;
        }
        waiting_->events.push_back(std::move(event));
    }
    if (post) {
        boost::asio::post(context, [self = shared_from_this()] { self->deliver(); });
    }
}

void live_thread_group::deliver() {
    std::shared_ptr<const live_batch> batch;
    {
        std::lock_guard lock(mutex_);
        batch = std::move(waiting_);
    }
    for (rtmp_live_stream_player* player : members) {
        // One player's failure (out of memory in its connection) must
        // not reach the others.
        try {
            player->deliver(batch);
        } catch (const std::exception&) {
        }
    }
}

}  // namespace rtmp
