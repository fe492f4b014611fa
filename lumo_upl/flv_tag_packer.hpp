#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "platform/quendle/quendle.hpp"

// Turns the encoders' packets into FLV message bodies for the segment
// writer: the tag header byte(s) in front, H.264 as length-prefixed NAL
// units with its composition offset, and the sequence headers that open a
// recording. Encoder times (100 ns) become FLV milliseconds here. Not
// locked: one transcode uses one packer.
class flv_tag_packer {
  public:
    using body = std::vector<std::uint8_t>;

    // Codec names are matched exactly ("h264", not "H264"). For H.264 the
    // Annex-B parameter sets give the decoder configuration record; false
    // when they cannot.
    bool set_video_codec(std::string_view name, std::span<const std::uint8_t> parameter_sets);
    bool set_audio_codec(std::string_view name, std::span<const std::uint8_t> config,
                         std::uint32_t sample_rate, std::uint32_t channels,
                         std::uint32_t sample_size);

    // The body of a packet; it stays valid until the next packet of the
    // same kind. A time below 0, or one that is not set, counts as 0.
    const body& pack_video(const Quendle::IAVPacket& packet);
    const body& pack_audio(const Quendle::IAVPacket& packet);

    // Empty unless the codec is H.264 / the format AAC.
    body video_sequence_header() const;
    body audio_sequence_header() const;

    // The FLV time of the last packed packet of each kind.
    std::uint32_t last_video_time() const { return last_video_time_; }
    std::uint32_t last_audio_time() const { return last_audio_time_; }

  private:
    std::uint32_t last_video_time_ = 0;
    std::uint32_t last_audio_time_ = 0;
    std::uint8_t video_codec_ = 0xFF;
    std::uint8_t sound_format_ = 0xFF;
    std::uint8_t frame_type_ = 0;
    std::uint8_t audio_header_ = 0;
    std::uint8_t video_codec_id_ = 0;
    body video_body_;
    body audio_body_;
    body avc_config_;
    body audio_config_;
};

// The AVCDecoderConfigurationRecord of the last sequence parameter set and
// the last picture parameter set in Annex-B bytes. False, with `record`
// untouched, when either is missing, the SPS is too short to hold its
// profile and level, or a parameter set is too long for the record.
bool make_avc_decoder_config(std::span<const std::uint8_t> annex_b,
                             std::vector<std::uint8_t>& record);

// Appends each NAL unit of Annex-B bytes to `out` as its 32-bit big-endian
// length and its bytes.
void annexb_to_length_prefixed(std::span<const std::uint8_t> annex_b,
                               std::vector<std::uint8_t>& out);
