#include "rtmp/rtmp_server_stack.hpp"

namespace rtmp {

rtmp_server_stack::rtmp_server_stack(connection_callbacks& owner)
    : owner_(owner), handshake_(std::make_unique<rtmp_handshake>(owner)) {}

rtmp_server_stack::~rtmp_server_stack() = default;

void rtmp_server_stack::on_data(const std::uint8_t* data, std::uint32_t count) {
    std::lock_guard guard(lock_);
    if (closed_) {
        return;
    }
    if (handshake_) {
        std::uint32_t after_c2 = count;
        if (handshake_->on_data(data, after_c2)) {
            return;
        }
        const std::uint32_t time_base = handshake_->server_time();
        handshake_.reset();
        on_handshake_done(time_base);
        data += count - after_c2;
        count = after_c2;
        if (count == 0) {
            return;
        }
    }
    chunkstreams_->on_data(data, count);
}

void rtmp_server_stack::close() {
    std::lock_guard guard(lock_);
    closed_ = true;
}

void rtmp_server_stack::on_handshake_done(std::uint32_t time_base) {
    chunkstreams_ = std::make_unique<rtmp_chunkstreams>(owner_, time_base);
    chunkstreams_->message_handler = [this](const std::uint8_t* body, std::uint32_t size,
                                            std::uint32_t timestamp, std::uint8_t type,
                                            std::uint32_t stream_id) {
        message_handler(body, size, timestamp, type, stream_id);
    };
}

}  // namespace rtmp
