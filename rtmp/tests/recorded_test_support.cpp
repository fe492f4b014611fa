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
    const char* kind = type == 9 ? "video" : type == 18 ? "data" : type == 15 ? "amf3" : "?";
    sent.push_back(std::string(kind) + " " + std::to_string(timestamp) + " " +
                   hex_start(data, size));
}

void fake_output::send_audio(std::uint32_t timestamp, const std::uint8_t* data,
                             std::uint32_t size) {
    if (refuse_media) {
        throw std::runtime_error("refused");
    }
    sent.push_back("audio " + std::to_string(timestamp) + " " + hex_start(data, size));
}

rtmp::recorded_playback::clock fake_clock::function() {
    return [this] {
        return std::chrono::steady_clock::time_point(std::chrono::milliseconds(ms_.load()));
    };
}

}  // namespace rtmp_test
