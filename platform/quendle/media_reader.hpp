#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/quendle/ffmpeg_handles.hpp"
#include "platform/quendle/quendle.hpp"
#include "platform/vastrel/av_picture.hpp"

namespace Quendle {

// One decoded frame of a file, audio or video, with its time from the
// file's start.
struct decoded_frame {
    Vastrel::av_frame_ptr frame;
    bool video = false;
    std::int64_t time = 0;  // 100 ns
};

// Demuxes a file and decodes its best video stream and best audio stream,
// one frame at a time. Damaged packets are skipped, as the decoders leave
// them; the file ends at its real end or at a read error. Not locked: one
// thread at a time.
class media_reader {
  public:
    // None (and a negative FFmpeg error code) when the file does not open
    // or has none of the wanted streams that decodes.
    static std::unique_ptr<media_reader> open(const std::string& path, bool want_video,
                                              bool want_audio, int& error);

    media_reader(const media_reader&) = delete;
    media_reader& operator=(const media_reader&) = delete;

    // Stream indices, -1 for none.
    int video_stream() const { return video_.index; }
    int audio_stream() const { return audio_.index; }
    // Every stream of the file.
    const std::vector<StreamDescription>& streams() const { return streams_; }
    std::uint32_t duration_ms() const { return duration_ms_; }
    // The time between two pictures of the video stream (100 ns; 0 when the
    // file does not say).
    std::int64_t frame_interval() const { return frame_interval_; }

    // Goes back to the keyframe before `ms`; frames before it are decoded
    // but not handed out.
    bool seek(std::uint32_t ms);

    // The next frame; false once everything has been decoded.
    bool next(decoded_frame& out);

  private:
    struct decoder {
        int index = -1;
        codec_context_ptr context;
        AVRational time_base{0, 1};
        bool flushed = false;
        std::int64_t next_time = 0;  // where a frame without a time goes
    };

    explicit media_reader(format_input_ptr format);
    bool open_decoder(decoder& d, int index);
    void describe_streams();
    bool receive(decoder& d, decoded_frame& out);
    bool skipped(const decoded_frame& frame) const;
    void flush(decoder& d);

    format_input_ptr format_;
    decoder video_;
    decoder audio_;
    packet_ptr packet_;
    std::vector<StreamDescription> streams_;
    std::uint32_t duration_ms_ = 0;
    std::int64_t frame_interval_ = 0;
    std::int64_t start_ = 0;        // the file's first time, 100 ns
    std::int64_t skip_before_ = 0;  // after a seek
    bool end_of_file_ = false;
};

}  // namespace Quendle
