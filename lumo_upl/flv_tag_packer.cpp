#include "lumo_upl/flv_tag_packer.hpp"

#include <boost/endian/conversion.hpp>

#include <algorithm>
#include <optional>

namespace {

using boost::endian::store_big_u16;
using boost::endian::store_big_u24;
using boost::endian::store_big_u32;

constexpr std::uint8_t avc_codec = 7;
constexpr std::uint8_t aac_format = 10;
constexpr std::uint8_t nellymoser_format = 6;
constexpr std::int64_t ticks_per_ms = 10000;
constexpr std::size_t max_parameter_set = 0xFFFF;

struct codec_name {
    std::string_view name;
    std::uint8_t id;
};

constexpr codec_name video_codecs[] = {
    {"cuda_h264", 7}, {"h264", 7},    {"flv", 2},      {"vp6f", 4},
    {"vp6a", 5},      {"flashsv", 3}, {"flashsv2", 6},
};

constexpr codec_name audio_codecs[] = {
    {"mp3", 2},
    {"aac", 10},
    {"speex", 11},
    {"nellymoser", 6},
};

template <std::size_t N>
std::optional<std::uint8_t> find_codec(const codec_name (&table)[N], std::string_view name) {
    for (const codec_name& codec : table) {
        if (codec.name == name) {
            return codec.id;
        }
    }
    return {};
}

// Calls `unit` with every NAL unit of Annex-B bytes: what follows a start
// code 00 00 01 up to the next one, less the extra 00 of a four-byte start
// code. Units may be empty (a start code at the very end).
template <class Unit>
void for_each_nal_unit(std::span<const std::uint8_t> data, Unit&& unit) {
    std::optional<std::size_t> begin;
    std::size_t i = 0;
    while (i + 3 <= data.size()) {
        if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) {
            ++i;
            continue;
        }
        if (begin) {
            std::size_t end = i;
            if (end > *begin && data[end - 1] == 0) {
                --end;
            }
            unit(data.subspan(*begin, end - *begin));
        }
        begin = i + 3;
        i += 3;
    }
    if (begin) {
        unit(data.subspan(*begin));
    }
}

// Makes room for n more bytes at the end of `out`; returns where they go.
std::uint8_t* append_room(std::vector<std::uint8_t>& out, std::size_t n) {
    out.resize(out.size() + n);
    return out.data() + out.size() - n;
}

// A packet's times in 100 ns, the one that is not set taking the other's
// value, and none below 0 (an unset time is the lowest value of all).
std::pair<std::int64_t, std::int64_t> presentation_and_decode(const Quendle::IAVPacket& packet) {
    std::int64_t presentation = packet.GetPresentationTime();
    std::int64_t decode = packet.GetDecodeTime();
    if (presentation == Quendle::no_time) {
        presentation = decode;
    }
    if (decode == Quendle::no_time) {
        decode = presentation;
    }
    return {std::max<std::int64_t>(presentation, 0), std::max<std::int64_t>(decode, 0)};
}

void append(std::vector<std::uint8_t>& out, const Quendle::IAVPacket& packet) {
    out.insert(out.end(), packet.GetData(), packet.GetData() + packet.GetSize());
}

}  // namespace

bool make_avc_decoder_config(std::span<const std::uint8_t> annex_b,
                             std::vector<std::uint8_t>& record) {
    std::span<const std::uint8_t> sps;
    std::span<const std::uint8_t> pps;
    for_each_nal_unit(annex_b, [&](std::span<const std::uint8_t> unit) {
        if (unit.empty()) {
            return;
        }
        switch (unit[0] & 0x1F) {
            case 7:
                sps = unit;
                break;
            case 8:
                pps = unit;
                break;
            default:
                break;
        }
    });
    if (sps.size() < 4 || pps.empty() || sps.size() > max_parameter_set ||
        pps.size() > max_parameter_set) {
        return false;
    }
    std::vector<std::uint8_t> made = {1, sps[1], sps[2], sps[3], 0xFF, 0xE1};
    store_big_u16(append_room(made, 2), static_cast<std::uint16_t>(sps.size()));
    made.insert(made.end(), sps.begin(), sps.end());
    made.push_back(1);
    store_big_u16(append_room(made, 2), static_cast<std::uint16_t>(pps.size()));
    made.insert(made.end(), pps.begin(), pps.end());
    record = std::move(made);
    return true;
}

void annexb_to_length_prefixed(std::span<const std::uint8_t> annex_b,
                               std::vector<std::uint8_t>& out) {
    for_each_nal_unit(annex_b, [&](std::span<const std::uint8_t> unit) {
        // An empty unit is nothing a decoder could use.
        if (unit.empty()) {
            return;
        }
        const auto size = static_cast<std::uint32_t>(unit.size());
        store_big_u32(append_room(out, 4), size);
        out.insert(out.end(), unit.begin(), unit.end());
    });
}

bool flv_tag_packer::set_video_codec(std::string_view name,
                                     std::span<const std::uint8_t> parameter_sets) {
    const auto codec = find_codec(video_codecs, name);
    if (!codec) {
        return false;
    }
    video_codec_ = *codec;
    if (video_codec_ == avc_codec && !make_avc_decoder_config(parameter_sets, avc_config_)) {
        return false;
    }
    video_codec_id_ = video_codec_;
    return true;
}

bool flv_tag_packer::set_audio_codec(std::string_view name, std::span<const std::uint8_t> config,
                                     std::uint32_t sample_rate, std::uint32_t channels,
                                     std::uint32_t sample_size) {
    std::uint8_t rate_code = 3;
    switch (sample_rate) {
        case 5512:
            rate_code = 0;
            break;
        case 11025:
            rate_code = 1;
            break;
        case 22050:
            rate_code = 2;
            break;
        default:
            break;
    }
    const auto format = find_codec(audio_codecs, name);
    if (!format) {
        return false;
    }
    sound_format_ = *format;
    audio_config_.assign(config.begin(), config.end());
    std::uint8_t header_format = sound_format_;
    if (sound_format_ == nellymoser_format && sample_rate == 16000) {
        header_format = 4;
    } else if (sound_format_ == nellymoser_format && sample_rate == 8000) {
        header_format = 5;
    }
    const bool stereo = sound_format_ == aac_format || channels > 1;
    if (sound_format_ == aac_format) {
        rate_code = 3;
    }
    audio_header_ = static_cast<std::uint8_t>(header_format << 4 | rate_code << 2 |
                                              (sample_size == 16 ? 2 : 0) | (stereo ? 1 : 0));
    return true;
}

const flv_tag_packer::body& flv_tag_packer::pack_video(const Quendle::IAVPacket& packet) {
    const auto [presentation, decode] = presentation_and_decode(packet);
    const bool keyframe = packet.IsKeyframe();
    frame_type_ = keyframe ? 1 : 2;
    last_video_time_ = static_cast<std::uint32_t>(decode / ticks_per_ms);
    const std::uint8_t header = video_codec_id_ | (keyframe ? 0x10 : 0x20);
    video_body_.clear();
    video_body_.push_back(header);
    if (video_codec_ == avc_codec) {
        // A signed 24-bit offset, in two's complement.
        const std::int64_t offset =
            std::clamp<std::int64_t>((presentation - decode) / ticks_per_ms, -0x800000, 0x7FFFFF);
        video_body_.push_back(1);
        store_big_u24(append_room(video_body_, 3), static_cast<std::uint32_t>(offset));
        annexb_to_length_prefixed({packet.GetData(), packet.GetSize()}, video_body_);
    } else {
        append(video_body_, packet);
    }
    return video_body_;
}

const flv_tag_packer::body& flv_tag_packer::pack_audio(const Quendle::IAVPacket& packet) {
    last_audio_time_ =
        static_cast<std::uint32_t>(presentation_and_decode(packet).second / ticks_per_ms);
    audio_body_.clear();
    audio_body_.push_back(audio_header_);
    if (sound_format_ == aac_format) {
        audio_body_.push_back(1);
    }
    append(audio_body_, packet);
    return audio_body_;
}

flv_tag_packer::body flv_tag_packer::video_sequence_header() const {
    if (video_codec_ != avc_codec) {
        return {};
    }
    body header = {static_cast<std::uint8_t>(video_codec_id_ | 0x10), 0, 0, 0, 0};
    header.insert(header.end(), avc_config_.begin(), avc_config_.end());
    return header;
}

flv_tag_packer::body flv_tag_packer::audio_sequence_header() const {
    if (sound_format_ != aac_format) {
        return {};
    }
    body header = {audio_header_, 0};
    header.insert(header.end(), audio_config_.begin(), audio_config_.end());
    return header;
}
