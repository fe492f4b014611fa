#pragma once

#include <memory>

#include "platform/quendle/decoded_audio.hpp"
#include "platform/quendle/media_reader.hpp"
#include "platform/quendle/quendle.hpp"
#include "platform/quendle/source_url.hpp"
#include "platform/vastrel/av_picture.hpp"
#include "platform/vastrel/av_scaler.hpp"

namespace Quendle {

// A media file as a source: its decoded samples one by one, pictures in
// their decoded pixel format when the shared table has it (else in format
// 0), at their own size.
class file_source final : public IAVSource {
  public:
    static std::unique_ptr<file_source> open(const source_request& request, int& error);

    const media_reader& reader() const { return *reader_; }
    const MediaInfo& info() const { return info_; }

    bool seek(std::uint32_t ms) override;
    std::uint32_t duration() const override { return reader_->duration_ms(); }
    bool read_sample(IAudioSample** audio, Vastrel::IRawVideoFrame** video, std::int64_t* time,
                     int flags) override;
    void close() override { delete this; }

  private:
    explicit file_source(std::unique_ptr<media_reader> reader);
    std::unique_ptr<Vastrel::av_picture> picture_of(decoded_frame& decoded);

    std::unique_ptr<media_reader> reader_;
    MediaInfo info_;
    Vastrel::av_scaler scaler_;
    std::unique_ptr<Vastrel::av_picture> picture_;
    std::unique_ptr<decoded_audio> audio_;
};

}  // namespace Quendle
