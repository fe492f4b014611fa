#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "platform/quendle/decoded_audio.hpp"
#include "platform/quendle/media_reader.hpp"
#include "platform/quendle/quendle.hpp"
#include "platform/quendle/timeline.hpp"
#include "platform/vastrel/av_picture.hpp"
#include "platform/vastrel/av_scaler.hpp"

namespace Quendle {

// A saved timeline as a source: the clip's audio as decoded, and its video
// in format 0 at the timeline's size and frame rate. Output picture n has
// the time n / rate and shows the last source picture due by then (within
// half an output interval), so pictures are repeated or dropped by time.
//
// Samples leave in time order as far as the decoders allow: audio waits
// until the video has caught up with it (for at most max_audio_hold), so
// that the audio of a recording never runs ahead of its video.
class timeline_source final : public IAVSource {
  public:
    // None and a negative error code when the clip does not open, or when
    // it has video and the timeline no usable size or frame rate.
    static std::unique_ptr<timeline_source> open(const timeline_description& timeline, int& error);

    const MediaInfo& info() const { return info_; }
    int video_stream() const { return has_video_ ? reader_->video_stream() : -1; }
    int audio_stream() const { return reader_->audio_stream(); }

    bool seek(std::uint32_t ms) override;
    std::uint32_t duration() const override { return reader_->duration_ms(); }
    bool read_sample(IAudioSample** audio, Vastrel::IRawVideoFrame** video, std::int64_t* time,
                     int flags) override;
    void close() override { delete this; }

    static constexpr std::int64_t max_audio_hold = 20000000;  // 2 s

  private:
    timeline_source(std::unique_ptr<media_reader> reader, const timeline_description& timeline,
                    bool has_video);

    std::int64_t slot_time(std::int64_t slot) const;
    // The first output picture whose time is after `time`.
    std::int64_t first_slot_after(std::int64_t time) const;
    void take_video(decoded_frame& decoded);
    void advance_video();
    bool video_ready() const;
    bool video_active() const;
    bool audio_ready() const;
    bool emit_video();
    void emit_audio();
    void clear();

    std::unique_ptr<media_reader> reader_;
    timeline_description timeline_;
    bool has_video_;
    std::vector<StreamDescription> streams_;
    MediaInfo info_;
    std::int64_t half_interval_;
    Vastrel::av_scaler scaler_;

    // The source picture that fills the output pictures from next_slot_ up
    // to end_slot_ (-1 until the following picture tells), and that one.
    decoded_frame held_;
    Vastrel::av_frame_ptr held_scaled_;
    decoded_frame following_;
    std::int64_t next_slot_ = 0;
    std::int64_t end_slot_ = -1;
    std::deque<decoded_frame> audio_queue_;
    bool reader_ended_ = false;

    std::unique_ptr<Vastrel::av_picture> picture_;
    std::unique_ptr<decoded_audio> audio_;
};

}  // namespace Quendle
