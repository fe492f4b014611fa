#include "rtmp/rtmp_live_stream_player.hpp"

#include <algorithm>
#include <cmath>
#include <exception>

namespace rtmp {

rtmp_live_stream_player::rtmp_live_stream_player(rtmp_live_streams& registry,
                                                 const rtmp_send_queue& send_queue,
                                                 rtmp_net_stream& netstream,
                                                 boost::asio::io_context& thread)
    : registry_(registry), send_queue_(send_queue), netstream_(netstream), thread_(thread) {}

rtmp_live_stream_player::~rtmp_live_stream_player() {
    if (key_ != -1) {
        registry_.remove_player(name_, key_);
    }
}

bool rtmp_live_stream_player::play(double start, std::string_view name) {
    if (std::isnan(start) || start >= 4294967296.0) {
        return false;
    }
    // Live or recorded: with nothing live of that name, the application
    // tries a recorded stream instead.
    if ((start == -2000 || start == -2) && !registry_.exists(name)) {
        return false;
    }
    if (!netstream_.open_media_streams()) {
        return false;
    }
    start_time_ = start >= 0 ? static_cast<std::uint32_t>(start) : 0;
    name_ = name;
    netstream_.send_play_reset_start();
    playing_ = true;
    const live_join joined = registry_.add_player(name_, *this, thread_);
    key_ = joined.key;
    // What the publisher sends from now on comes in a later handler of this
    // thread: the replay goes first.
    replay(joined.start);
    return true;
}

void rtmp_live_stream_player::pause(bool pause, bool toggle) {
    playing_ = toggle ? !playing_ : !pause;
    if (playing_) {
        rebase_ = true;
        wait_keyframe_ = true;
        netstream_.send_unpause_notify();
    } else {
        netstream_.send_pause_notify();
    }
    netstream_.flush();
}

void rtmp_live_stream_player::seek(std::uint32_t milliseconds) {
    rebase_ = true;
    wait_keyframe_ = true;
    playing_ = true;
    start_time_ = milliseconds;
    netstream_.send_seek_notify();
}

std::uint32_t rtmp_live_stream_player::rebased(std::uint32_t timestamp) {
    if (rebase_) {
        source_base_ = timestamp;
        rebase_ = false;
    }
    // A replayed sequence header is older than the base: it starts the
    // player's stream rather than wrapping to 49 days.
    const auto since_base = static_cast<std::int32_t>(timestamp - source_base_);
    return start_time_ + static_cast<std::uint32_t>(std::max(since_base, 0));
}

void rtmp_live_stream_player::write(output_chunkstream& on, std::uint8_t type,
                                    const outgoing& message, std::uint32_t timestamp) {
    if (message.encoded != nullptr &&
        netstream_.chunkstreams().write_encoded_message(
            on, type, netstream_.stream_id(), timestamp, message.size, message.encoded->csid(),
            live_message::encoded_chunk_size, message.encoded->chunked(),
            message.encoded->chunked_size(), *message.owner)) {
        return;
    }
    netstream_.write(on, type, timestamp, message.data, message.size);
}

bool rtmp_live_stream_player::write_media(output_chunkstream& on, std::uint8_t type,
                                          const outgoing& message, std::uint32_t timestamp) {
    write(on, type, message, timestamp);
    // Flushing every message would send a block per frame; flushing too
    // rarely adds latency. A step back in time also flushes.
    const std::uint32_t since_flush = timestamp - last_flush_time_;
    if (static_cast<std::int32_t>(since_flush) > static_cast<std::int32_t>(buffer_length_ / 2) ||
        since_flush > 1000) {
        last_flush_time_ = timestamp;
        return true;
    }
    return false;
}

bool rtmp_live_stream_player::video(const outgoing& message) {
    last_source_video_time_ = message.timestamp;
    if (!receive_video_ || !playing_) {
        return false;
    }
    const std::uint32_t out = rebased(message.timestamp);
    const std::uint8_t* data = message.data;
    if (wait_keyframe_) {
        const bool keyframe = message.size > 10 && (data[0] & 0xF0) == 0x10;
        if (!keyframe) {
            return false;
        }
        if (is_avc_sequence_header(data, message.size)) {
            return write_media(*netstream_.video_stream(), message_type::video, message, out);
        }
        wait_keyframe_ = false;
    }
    const std::uint32_t pending = send_queue_.pending();
    if (pending > drop_above) {
        // The frames after a dropped one cannot be decoded: start again at a
        // keyframe once the client has caught up.
        wait_keyframe_ = true;
        return false;
    }
    if (pending > keyframes_only_above) {
        wait_keyframe_ = true;
    }
    return write_media(*netstream_.video_stream(), message_type::video, message, out);
}

bool rtmp_live_stream_player::audio(const outgoing& message) {
    if (!receive_audio_ || !playing_) {
        return false;
    }
    const std::uint32_t out = rebased(message.timestamp);
    if (send_queue_.pending() > drop_above) {
        return false;
    }
    return write_media(*netstream_.audio_stream(), message_type::audio, message, out);
}

bool rtmp_live_stream_player::data(std::uint8_t type, const outgoing& message) {
    const std::uint32_t out = rebased(message.timestamp);
    write(*netstream_.video_stream(), type, message, out);
    last_flush_time_ = out;
    return true;
}

bool rtmp_live_stream_player::publish() {
    rebase_ = true;
    netstream_.send_publish_notify();
    return true;
}

bool rtmp_live_stream_player::unpublish() {
    rebase_ = true;
    netstream_.send_end_of_sequence_video();
    netstream_.send_unpublish_notify();
    return true;
}

void rtmp_live_stream_player::replay(const live_start& start) {
    const auto send = [&](const std::shared_ptr<const live_message>& stored,
                          std::uint32_t timestamp) {
        const std::shared_ptr<const void> owner = stored;
        const outgoing message{stored->data(), stored->size(), timestamp, stored.get(), &owner};
        switch (stored->type()) {
            case message_type::video:
                return video(message);
            case message_type::audio:
                return audio(message);
            default:
                return data(stored->type(), message);
        }
    };
    // The player stays joined when its connection cannot take these (out of
    // memory): as with a failed delivery, it gets what comes next.
    try {
        bool flush = false;
        if (start.metadata) {
            flush |= send(start.metadata, std::max(start.last_video_time, start.last_audio_time));
        }
        if (start.avc_header) {
            flush |= send(start.avc_header, start.last_video_time);
        }
        if (start.aac_header) {
            flush |= send(start.aac_header, start.last_audio_time);
        }
        if (flush) {
            netstream_.flush();
        }
    } catch (const std::exception&) {
    }
}

void rtmp_live_stream_player::deliver(const std::shared_ptr<const live_batch>& batch) {
    const std::shared_ptr<const void> owner = batch;
    bool flush = false;
    for (const live_event& event : batch->events) {
        if (event.sequence <= joined_at_) {
            continue;
        }
        switch (event.what) {
            case live_event::kind::publish:
                flush |= publish();
                break;
            case live_event::kind::unpublish:
                flush |= unpublish();
                break;
            case live_event::kind::message: {
                const live_message& m = *event.message;
                const outgoing message{m.data(), m.size(), m.timestamp(), &m, &owner};
                switch (m.type()) {
                    case message_type::video:
                        flush |= video(message);
                        break;
                    case message_type::audio:
                        flush |= audio(message);
                        break;
                    default:
                        flush |= data(m.type(), message);
                        break;
                }
                break;
            }
        }
    }
    if (flush) {
        netstream_.flush();
    }
}

}  // namespace rtmp
