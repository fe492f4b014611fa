#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>

#include "foundation/segment_writer.hpp"
#include "lumo_upl/flv_tag_packer.hpp"
#include "platform/quendle/quendle.hpp"

// What a transcode makes of a file. The task fills it from its preset; the
// transcoder adjusts it to the source and writes the result back.
struct transcode_params {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    double framerate = 0;             // 0: the source's
    std::uint32_t video_bitrate = 0;  // bits per second
    std::uint32_t sample_rate = 0;    // Hz
    std::uint32_t channels = 0;
    std::uint32_t audio_bitrate = 0;  // bits per second
};

// Transcodes a media file into a segment recording with H.264 video, AAC
// audio and an "onMetaData" object: the source is decoded through an edit
// timeline that scales it to the output size and rate, encoded, packed
// into FLV bodies and cut into segments of about ten seconds.
//
// Construction and run() belong to one thread; request_stop() and
// progress() may be called from any other.
class lumo_av_encoder {
  public:
    // Opens the source and the encoders and writes the sequence headers of
    // the recording `name` in `folder`. Throws std::runtime_error with the
    // reason ("Can't load the source video", "Can't create h264 encoder",
    // ...), std::invalid_argument for parameters without a picture size
    // for a source with video, and the file system's errors; whatever was
    // made is released and no recording is left.
    lumo_av_encoder(Quendle::IAVManager& manager, std::string_view name, transcode_params& params,
                    const std::filesystem::path& source, const std::filesystem::path& folder);
    // Closes the source and finishes what the recording holds.
    virtual ~lumo_av_encoder();

    lumo_av_encoder(const lumo_av_encoder&) = delete;
    lumo_av_encoder& operator=(const lumo_av_encoder&) = delete;

    // Transcodes to the end of the source, or until asked to stop, and
    // finishes the recording with its metadata. A failure while
    // transcoding, or a source of which nothing decodes, sets failed();
    // errors while finishing are thrown.
    void run();
    void request_stop() { stop_requested_ = true; }

    // Percent of the source written so far.
    double progress() const;

    // After run().
    bool failed() const { return failed_; }
    std::int32_t segment_count() const { return segment_count_; }
    double duration() const { return duration_; }      // seconds
    std::int32_t bitrate() const { return bitrate_; }  // kbit/s
    const transcode_params& params() const { return params_; }

  private:
    void adjust(transcode_params& params, std::int32_t video_stream,
                const Quendle::MediaInfo* info) const;
    void write_video(const Quendle::IAVPacket& packet);
    void write_audio(const Quendle::IAVPacket& packet);
    void written(std::uint32_t time);
    void finish();

    Quendle::object_ptr<Quendle::IAVSource> source_;
    Quendle::object_ptr<Quendle::IVideoEncoder> video_encoder_;
    Quendle::object_ptr<Quendle::IAudioEncoder> audio_encoder_;
    std::unique_ptr<segment_writer> writer_;
    transcode_params params_;
    flv_tag_packer packer_;
    std::atomic<bool> stop_requested_ = false;
    bool failed_ = false;
    std::int32_t segment_count_ = 0;
    std::atomic<double> duration_ = 0;
    std::int32_t bitrate_ = 0;
    std::atomic<std::uint32_t> max_time_ = 0;
    std::uint64_t packets_written_ = 0;
};
