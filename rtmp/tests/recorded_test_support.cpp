#include "rtmp/tests/recorded_test_support.hpp"

#include <cstdio>
#include <stdexcept>
#include <utility>

namespace rtmp_test {

namespace {

std::string hex_start(const std::uint8_t* data, std::uint32_t size) {
    std::string text;
    for (std::uint32_t i = 0; i < size && i < 2; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%s%02x", i == 0 ? "" : " ", data[i]);
        text += byte;
    }
    return text;
}

bool is_keyframe(const fake_tag& tag) {
    return tag.type == 9 && tag.body.size() >= 2 && tag.body[0] == '\x17' && tag.body[1] == 1;
}

const std::uint8_t* bytes_of(const std::string& text, std::uint32_t& size) {
    size = static_cast<std::uint32_t>(text.size());
    return text.empty() ? nullptr : reinterpret_cast<const std::uint8_t*>(text.data());
}

}  // namespace

namespace {

std::string as_string(const buffer_writer& out) {
    return std::string(reinterpret_cast<const char*>(out.data), out.size);
}

}  // namespace

flv_builder::flv_builder() : bytes_("FLV\x01\x05\x00\x00\x00\x09\x00\x00\x00\x00", 13) {}

std::int64_t flv_builder::tag(std::uint8_t type, std::uint32_t time, const std::string& body) {
    const auto offset = static_cast<std::int64_t>(bytes_.size());
    const auto size = static_cast<std::uint32_t>(body.size());
    const unsigned char header[] = {type,
                                    static_cast<unsigned char>(size >> 16),
                                    static_cast<unsigned char>(size >> 8),
                                    static_cast<unsigned char>(size),
                                    static_cast<unsigned char>(time >> 16),
                                    static_cast<unsigned char>(time >> 8),
                                    static_cast<unsigned char>(time),
                                    static_cast<unsigned char>(time >> 24),
                                    0,
                                    0,
                                    0};
    bytes_.append(reinterpret_cast<const char*>(header), sizeof header);
    bytes_ += body;
    const std::uint32_t previous = size + sizeof header;
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes_.push_back(static_cast<char>(previous >> shift));
    }
    return offset;
}

std::filesystem::path flv_builder::save(const platform::testing::temp_dir& dir,
                                        const char* name) const {
    const auto file = dir / name;
    platform::testing::write_file(file, bytes_);
    return file;
}

metadata_writer::metadata_writer() {
    amf0_string("onMetaData").write(out);
}

std::string metadata_writer::bytes() const {
    return as_string(out);
}

std::unique_ptr<amf0_array> numbers(const std::vector<double>& values) {
    auto array = std::make_unique<amf0_array>();
    for (double value : values) {
        array->values.push_back(std::make_unique<amf0_number>(value));
    }
    return array;
}

std::unique_ptr<amf0_object> keyframes_table(std::unique_ptr<amf0_based> times,
                                             std::unique_ptr<amf0_based> positions) {
    auto table = std::make_unique<amf0_object>();
    table->insert("times", std::move(times));
    table->insert("filepositions", std::move(positions));
    return table;
}

std::string on_metadata(std::unique_ptr<amf0_based> keyframes) {
    metadata_writer writer;
    amf0_mixed_array properties;
    properties.insert("duration", std::make_unique<amf0_number>(10));
    properties.insert("keyframes", std::move(keyframes));
    properties.write(writer.out);
    return writer.bytes();
}

std::string on_metadata(const std::vector<double>& seconds, const std::vector<double>& positions) {
    return on_metadata(keyframes_table(numbers(seconds), numbers(positions)));
}

std::string indexed_flv(const std::vector<fake_tag>& tags) {
    const fake_source headers({});
    std::vector<double> seconds;
    for (const fake_tag& tag : tags) {
        if (is_keyframe(tag)) {
            seconds.push_back(tag.time / 1000.0);
        }
    }
    // A number takes the same room whatever its value, so the offsets found
    // behind a placeholder index hold behind the real one.
    std::vector<double> positions(seconds.size(), 0);
    std::string bytes;
    for (int pass = 0; pass < 2; ++pass) {
        flv_builder flv;
        flv.tag(18, 0, on_metadata(seconds, positions));
        flv.tag(9, 0, headers.video_header);
        flv.tag(8, 0, headers.audio_header);
        positions.clear();
        for (const fake_tag& tag : tags) {
            const auto offset = flv.tag(tag.type, tag.time, tag.body);
            if (is_keyframe(tag)) {
                positions.push_back(static_cast<double>(offset));
            }
        }
        bytes = flv.bytes();
    }
    return bytes;
}

fake_tag keyframe_at(std::uint32_t time) {
    return {9, time, std::string("\x17\x01\x00\x00\x00key", 8)};
}

fake_tag interframe_at(std::uint32_t time) {
    return {9, time, std::string("\x27\x01\x00\x00\x00inter", 10)};
}

fake_tag audio_at(std::uint32_t time) {
    return {8, time, "\xaf\x01sound"};
}

namespace {

template <class IsKey>
std::vector<fake_tag> media(std::uint32_t last, IsKey is_key) {
    std::vector<fake_tag> tags;
    for (std::uint32_t time = 0; time <= last; time += 1000) {
        if (time % 2000 == 0) {
            tags.push_back(is_key(time) ? keyframe_at(time) : interframe_at(time));
        } else {
            tags.push_back(audio_at(time));
        }
    }
    return tags;
}

}  // namespace

std::vector<fake_tag> keys_at(std::uint32_t last, const std::set<std::uint32_t>& keyframes) {
    return media(last, [&keyframes](std::uint32_t time) { return keyframes.count(time) != 0; });
}

std::vector<fake_tag> every_video_a_keyframe(std::uint32_t last) {
    return media(last, [](std::uint32_t) { return true; });
}

fake_source::fake_source(std::vector<fake_tag> stored)
    : tags(std::move(stored)),
      available(tags.size()),
      video_header("\x17\x00\x00\x00\x00\x01\x64\x00\x1f", 9),
      audio_header("\xaf\x00\x12\x10", 4),
      metadata("\x02\x00\x0aonMetaData\x05", 14) {}

media_source_callbacks fake_source::callbacks() {
    return {
        [this](std::uint32_t& size) {
            ++calls;
            return bytes_of(audio_header, size);
        },
        [this](std::uint32_t& size) {
            ++calls;
            return bytes_of(video_header, size);
        },
        [this](std::uint32_t& size) {
            ++calls;
            return bytes_of(metadata, size);
        },
        [this](std::uint32_t& size, std::uint32_t& timestamp, std::uint8_t& type,
               std::int32_t& status) -> const std::uint8_t* {
            ++calls;
            if (position >= tags.size() || position >= available) {
                status = position >= tags.size() ? media_source_ended : media_tag_later;
                size = 0;
                return nullptr;
            }
            const fake_tag& tag = tags[position++];
            timestamp = tag.time;
            type = tag.type;
            size = static_cast<std::uint32_t>(tag.body.size());
            return reinterpret_cast<const std::uint8_t*>(tag.body.data());
        },
        [this](std::uint32_t& ms) {
            ++calls;
            std::size_t found = tags.size();
            for (std::size_t i = 0; i < tags.size() && tags[i].time <= ms; ++i) {
                if (is_keyframe(tags[i])) {
                    found = i;
                }
            }
            if (found == tags.size()) {
                return false;
            }
            position = found;
            ms = tags[found].time;
            return true;
        },
    };
}

void fake_output::when_written(std::function<void()> resume) {
    resumes.push_back(std::move(resume));
}

void fake_output::write_all() {
    unwritten = 0;
    for (auto& resume : std::exchange(resumes, {})) {
        resume();
    }
}

bool fake_output::open_media_streams() {
    if (!room_for_streams) {
        return false;
    }
    sent.push_back("open streams");
    return true;
}

void fake_output::send_video(std::uint8_t type, std::uint32_t timestamp, const std::uint8_t* data,
                             std::uint32_t size) {
    if (refuse_media) {
        throw std::runtime_error("refused");
    }
    if (holds_what_it_sends) {
        unwritten += size;
    }
    const char* kind = type == 9 ? "video" : type == 18 ? "data" : type == 15 ? "amf3" : "?";
    sent.push_back(std::string(kind) + " " + std::to_string(timestamp) + " " +
                   hex_start(data, size));
}

void fake_output::send_audio(std::uint32_t timestamp, const std::uint8_t* data,
                             std::uint32_t size) {
    if (refuse_media) {
        throw std::runtime_error("refused");
    }
    if (holds_what_it_sends) {
        unwritten += size;
    }
    sent.push_back("audio " + std::to_string(timestamp) + " " + hex_start(data, size));
}

rtmp::recorded_playback::clock fake_clock::function() {
    return [this] {
        return std::chrono::steady_clock::time_point(std::chrono::milliseconds(ms_.load()));
    };
}

}  // namespace rtmp_test
