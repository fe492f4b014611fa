#include "rtmp/recorded_playback.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "foundation/decoded_metadata.hpp"

namespace rtmp {

namespace {

constexpr std::uint8_t audio_tag = 8;
constexpr std::uint8_t video_tag = 9;
constexpr std::uint8_t amf3_data_tag = 15;
constexpr std::uint8_t amf0_data_tag = 18;

// Video command frames around the catch-up video of a seek: the client
// decodes what lies between without showing it.
constexpr std::uint8_t seek_start_frame = 0;
constexpr std::uint8_t seek_end_frame = 1;

constexpr std::uint8_t avc_end_of_sequence[] = {0x17, 0x02, 0x00, 0x00, 0x00};

}  // namespace

recorded_playback::recorded_playback(media_source_callbacks source, recorded_stream_output& output,
                                     clock now)
    : source_(std::move(source)), output_(output), now_(std::move(now)), clock_base_(now_()) {}

bool recorded_playback::start(std::uint32_t from) {
    if (!output_.open_media_streams()) {
        return false;
    }
    output_.send_stream_is_recorded();
    output_.send_play_reset_start();
    if (from > 0) {
        commands_.push_back({command_kind::start_at, from, false, false});
    }
    return true;
}

void recorded_playback::pause(bool pause, bool toggle, std::uint32_t milliseconds) {
    commands_.push_back({command_kind::pause, milliseconds, pause, toggle});
}

void recorded_playback::pause_raw(bool flag, std::uint32_t milliseconds) {
    commands_.push_back({command_kind::pause_raw, milliseconds, flag, false});
}

void recorded_playback::seek(std::uint32_t milliseconds) {
    commands_.push_back({command_kind::seek, milliseconds, false, false});
}

void recorded_playback::set_buffer_length(std::uint32_t milliseconds) {
    buffer_length_ = std::clamp(milliseconds, min_buffer_length, max_buffer_length);
}

void recorded_playback::run() {
    held_back_ = connection_full();
    if (held_back_) {
        return;
    }
    if (!commands_.empty()) {
        // Whatever the command, a catch-up still under way is over.
        end_seek();
    }
    while (!commands_.empty()) {
        const command next = commands_.front();
        commands_.pop_front();
        run_command(next);
    }
    if (playing_) {
        send_burst();
    }
    // Until the next run, which may be a second away, the source's room
    // would only wait: every tag read has been written out.
    if (source_.release_buffer) {
        source_.release_buffer();
    }
}

void recorded_playback::run_command(const command& c) {
    switch (c.kind) {
        case command_kind::pause:
            playing_ = c.toggle ? !playing_ : !c.flag;
            if (playing_) {
                output_.send_unpause_notify();
                if (!raw_pause_ && (c.milliseconds != 0 || origin_ == 0)) {
                    std::uint32_t ms = c.milliseconds;
                    seek_source(ms);
                    origin_ = c.milliseconds;
                }
            } else {
                output_.send_pause_notify();
            }
            output_.flush();
            reset_ = true;
            break;
        case command_kind::pause_raw:
            raw_pause_ = c.flag;
            break;
        case command_kind::seek:
        case command_kind::start_at: {
            if (seek_to(c.milliseconds)) {
                if (c.kind == command_kind::seek) {
                    output_.send_seek_notify();
                    output_.flush();
                }
                playing_ = true;
            } else {
                output_.send_seek_failed();
                output_.flush();
                playing_ = false;
            }
            reset_ = true;
            break;
        }
    }
}

bool recorded_playback::seek_to(std::uint32_t target) {
    std::uint32_t ms = target;
    if (!seek_source(ms)) {
        seek_.reset();
        return false;
    }
    seek_ = seek_in_run{target};
    origin_ = target;
    return true;
}

void recorded_playback::send_burst() {
    const auto now = now_();
    if (reset_) {
        clock_base_ = now;
        out_pos_ = 0;
    }
    const auto elapsed = static_cast<std::uint64_t>(std::max<std::int64_t>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(now - clock_base_).count()));

    // Ahead of the tags: sent after a burst with its timestamp 0, it would
    // go back in time by a whole buffer length.
    send_metadata_once();
    bool ended = false;
    for (unsigned tags = 0; tags < max_tags_per_run;) {
        if (!seek_ && out_pos_ >= elapsed + buffer_length_) {
            break;
        }
        if (connection_full()) {
            // What the socket takes now makes room at once.
            write_out();
            if (connection_full()) {
                held_back_ = true;
                break;
            }
        }
        std::uint32_t size = 0;
        std::uint32_t time = 0;
        std::uint8_t type = 0;
        std::int32_t status = media_tag_read;
        const std::uint8_t* body =
            source_.read_tag ? source_.read_tag(size, time, type, status) : nullptr;
        if (body == nullptr) {
            reset_ = true;
            ended = status != media_tag_later;
            break;
        }
        ++tags;
        if (reset_) {
            start_after_reset(time);
        }
        // A tag older than the base (interleaving after a seek) counts as
        // the base, not as four billion milliseconds ahead.
        out_pos_ = time > source_base_ ? time - source_base_ : 0;

        if (seek_ && seek_->framed) {
            if (time >= seek_->target) {
                send_seek_frame(seek_end_frame, seek_->target);
                seek_.reset();
            } else if (type == audio_tag) {
                continue;
            }
        }
        send_tag(type, time, body, size);
    }
    if (!held_back_) {
        end_seek();
    }
    if (ended) {
        // Nothing more until a seek or an unpause.
        playing_ = false;
        output_.send_play_stop();
    }
    write_out();
    if (!held_back_ && output_.unwritten_bytes() == 0) {
        // Caught up with its pace, and all of it written at once.
        slow_ = false;
    }
}

void recorded_playback::write_out() {
    output_.flush();
    if (output_.unwritten_bytes() != 0) {
        slow_ = true;
    }
}

void recorded_playback::end_seek() {
    if (seek_ && seek_->framed) {
        send_seek_frame(seek_end_frame, seek_->target);
    }
    seek_.reset();
}

void recorded_playback::start_after_reset(std::uint32_t time) {
    reset_ = false;
    source_base_ = time;
    if (seek_) {
        if (time < seek_->target && seek_->target - time < framed_seek_reach) {
            send_seek_frame(seek_start_frame, seek_->target);
            seek_->framed = true;
            // The client shows nothing before the target, so its buffer
            // fills from there: pacing from the keyframe would hold back
            // the tags after the target by the catch-up's length.
            source_base_ = seek_->target;
        } else {
            seek_.reset();
        }
    }
    std::uint32_t size = 0;
    if (const std::uint8_t* config = source_.video_config ? source_.video_config(size) : nullptr) {
        output_.send_video(video_tag, time, config, size);
    }
    if (const std::uint8_t* config = source_.audio_config ? source_.audio_config(size) : nullptr) {
        output_.send_audio(time, config, size);
    }
}

void recorded_playback::send_tag(std::uint8_t type, std::uint32_t time, const std::uint8_t* body,
                                 std::uint32_t size) {
    switch (type) {
        case audio_tag:
            output_.send_audio(time, body, size);
            return;
        case video_tag:
            output_.send_video(type, time, body, size);
            if (size == sizeof avc_end_of_sequence &&
                std::memcmp(body, avc_end_of_sequence, size) == 0) {
                output_.send_stream_begin();
            }
            return;
        case amf3_data_tag:
        case amf0_data_tag:
            if (type == amf0_data_tag && stored_metadata_sent_ &&
                is_metadata_message({reinterpret_cast<const char*>(body), size})) {
                // The stored metadata, sent first, describes the whole
                // stream: a recording's holds its duration. The copy a
                // publisher sent live (duration 0) would replace it.
                return;
            }
            output_.send_video(type, time, body, size);
            return;
        default:
            return;
    }
}

void recorded_playback::send_seek_frame(std::uint8_t frame, std::uint32_t target) {
    const std::uint8_t body[] = {0x57, frame};
    output_.send_video(video_tag, target, body, sizeof body);
}

void recorded_playback::send_metadata_once() {
    if (metadata_sent_) {
        return;
    }
    metadata_sent_ = true;
    std::uint32_t size = 0;
    if (const std::uint8_t* metadata = source_.metadata ? source_.metadata(size) : nullptr) {
        output_.send_video(amf0_data_tag, 0, metadata, size);
        stored_metadata_sent_ = true;
    }
}

bool recorded_playback::seek_source(std::uint32_t& milliseconds) {
    return source_.seek && source_.seek(milliseconds);
}

}  // namespace rtmp
