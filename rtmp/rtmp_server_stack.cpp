#include "rtmp/rtmp_server_stack.hpp"

#include <stdexcept>

namespace rtmp {

rtmp_server_stack::rtmp_server_stack(connection_callbacks& owner)
    : owner_(owner), handshake_(std::make_unique<rtmp_handshake>(owner)) {}

rtmp_server_stack::~rtmp_server_stack() {
    netstreams_.clear();
    chunkstreams_.reset();
}

bool rtmp_server_stack::on_data(const std::uint8_t* data, std::uint32_t count) {
    if (closed_) {
        return false;
    }
    const bool handshaking = handshake_ != nullptr;
    if (handshaking) {
        std::uint32_t after_c2 = count;
        if (handshake_->on_data(data, after_c2)) {
            return true;
        }
        const std::uint32_t time_base = handshake_->server_time();
        handshake_.reset();
        on_handshake_done(time_base);
        data += count - after_c2;
        count = after_c2;
        if (count == 0) {
            return true;
        }
    }
    const std::uint64_t before = chunkstreams_->messages_received();
    chunkstreams_->on_data(data, count);
    return handshaking || chunkstreams_->messages_received() != before;
}

// The application's teardown failing must not leave the other streams, or
// the connection, half closed.
void rtmp_server_stack::destroy(std::unique_ptr<rtmp_server_netstream> stream) {
    if (stream->destroy_handler) {
        try {
            stream->destroy_handler();
        } catch (const std::exception&) {
        }
    }
}

void rtmp_server_stack::close() {
    closed_ = true;
    // The connection outlives its closing while anyone holds it: what its
    // unfinished messages hold goes now.
    if (chunkstreams_) {
        chunkstreams_->drop_unfinished();
    }
    // One at a time out of the table, so that a destroy handler never finds
    // its own stream half gone.
    while (!netstreams_.empty()) {
        destroy(netstreams_.extract(netstreams_.begin()->first));
    }
    netstream_created_handler.clear();
    connect_handler.clear();
}

void rtmp_server_stack::on_handshake_done(std::uint32_t time_base) {
    chunkstreams_ = std::make_unique<rtmp_chunkstreams>(owner_, time_base);
    chunkstreams_->message_handler = [this](const std::uint8_t* data, std::uint32_t size,
                                            std::uint32_t timestamp, std::uint8_t type,
                                            std::uint32_t stream_id) {
        on_message(data, size, timestamp, type, stream_id);
    };
    chunkstreams_->set_buffer_length_handler = [this](std::uint32_t id, std::uint32_t ms) {
        on_set_buffer_length(id, ms);
    };

    auto connection = std::make_unique<rtmp_server_netstream>(*chunkstreams_, 0);
    connection->connect_handler = [this](amf0_object& command, std::string& reason) {
        return on_connect(command, reason);
    };
    connection->create_stream_handler = [this](std::uint32_t& id) { return on_create_stream(id); };
    connection->delete_stream_handler = [this](std::uint32_t id) { on_delete_stream(id); };
    netstreams_.insert(0, std::move(connection));
}

rtmp_server_netstream& rtmp_server_stack::existing_netstream(std::uint32_t id) const {
    rtmp_server_netstream* stream = netstreams_.find(id);
    if (stream == nullptr) {
        throw std::runtime_error("Bad NetStream ID");
    }
    return *stream;
}

void rtmp_server_stack::on_message(const std::uint8_t* data, std::uint32_t size,
                                   std::uint32_t timestamp, std::uint8_t type,
                                   std::uint32_t stream_id) {
    existing_netstream(stream_id).on_message(data, size, timestamp, type);
}

bool rtmp_server_stack::on_connect(amf0_object& command, std::string& reason) {
    if (!connect_handler) {
        reason = "Not implemented";
        return false;
    }
    return connect_handler(command, reason);
}

bool rtmp_server_stack::on_create_stream(std::uint32_t& new_id) {
    std::uint32_t id = 1;
    while (id < max_streams && netstreams_.find(id) != nullptr) {
        ++id;
    }
    // Past the stream ids or the output chunk streams the client gets a
    // failure reply, and the connection goes on.
    if (id == max_streams || !chunkstreams_->has_room_for_output_streams(1)) {
        return false;
    }
    auto created = std::make_unique<rtmp_server_netstream>(*chunkstreams_, id);
    rtmp_server_netstream& stream = *created;
    netstreams_.insert(id, std::move(created));
    if (netstream_created_handler) {
        netstream_created_handler(&stream);
    }
    if (stream.buffer_length_handler) {
        stream.buffer_length_handler(buffer_length_);
    }
    new_id = id;
    return true;
}

void rtmp_server_stack::on_delete_stream(std::uint32_t id) {
    if (id == 0) {
        throw std::runtime_error("Bad deleteStream command");
    }
    if (auto stream = netstreams_.extract(id)) {
        destroy(std::move(stream));
    }
}

void rtmp_server_stack::on_set_buffer_length(std::uint32_t stream_id, std::uint32_t milliseconds) {
    if (stream_id != 0) {
        rtmp_server_netstream& stream = existing_netstream(stream_id);
        if (stream.buffer_length_handler) {
            stream.buffer_length_handler(milliseconds);
        }
        return;
    }
    buffer_length_ = milliseconds;
    for (const auto& [id, stream] : netstreams_) {
        if (stream->buffer_length_handler) {
            stream->buffer_length_handler(milliseconds);
        }
    }
}

}  // namespace rtmp
