#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/quendle/quendle.hpp"

namespace Quendle {

inline constexpr const char* importer_name = "SimpleEditImporter";
inline constexpr const char* timeline_interface_name = "ISimpleEditTimeLine";

// An edit of one whole clip, as a timeline file keeps it.
struct timeline_description {
    std::string clip;  // the file's path, any bytes
    double frame_rate = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool audio_only = false;

    bool operator==(const timeline_description&) const = default;
};

// The file: "QSEIX" and a version byte, then little-endian: the frame
// rate's IEEE bits (u64), width and height (u32), the audio-only flag (u8),
// and the clip's path as a u32 length and its bytes.
std::string encode_timeline(const timeline_description& timeline);
// Nothing for bytes that are not such a file.
std::optional<timeline_description> decode_timeline(std::string_view bytes);

// "SimpleEditImporter": builds a timeline and saves it.
class simple_edit_importer final : public IObject, public ISimpleEditTimeLine {
  public:
    void* query_interface(const char* name) override;
    void release() override { delete this; }

    bool add_clip(int track, const char* path, std::int64_t position, std::int64_t start,
                  std::int64_t end) override;
    void set_frame_rate(double rate) override { timeline_.frame_rate = rate; }
    void set_size(std::uint32_t width, std::uint32_t height, int flags) override;
    bool set_stream_mode(int mode) override;
    bool save(const char* path) override;

  private:
    timeline_description timeline_;
    bool has_clip_ = false;
};

}  // namespace Quendle
