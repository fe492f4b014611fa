#include "rtmp/rtmp_live_streams.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <exception>

#include "rtmp/amf0_args.hpp"

namespace rtmp {

namespace {

// Keys run through every 32-bit value but -1, which means "no key".
std::int32_t next_key(std::int32_t key) {
    if (key == -2) {
        return 0;
    }
    return key == INT32_MAX ? INT32_MIN : key + 1;
}

bool starts_with(const std::uint8_t* data, std::uint32_t size, std::uint8_t first,
                 std::uint8_t second, std::uint32_t more_than) {
    return size > more_than && data[0] == first && data[1] == second;
}

bool is_avc_sequence_header(const std::uint8_t* data, std::uint32_t size) {
    return starts_with(data, size, 0x17, 0x00, 5);
}

bool is_aac_sequence_header(const std::uint8_t* data, std::uint32_t size) {
    return starts_with(data, size, 0xAF, 0x00, 2);
}

const std::uint8_t* bytes(const std::string& s) {
    return reinterpret_cast<const std::uint8_t*>(s.data());
}

std::uint32_t size_of(const std::string& s) {
    return static_cast<std::uint32_t>(s.size());
}

}  // namespace

rtmp_live_stream::rtmp_live_stream(std::string name) : name_(std::move(name)) {}

rtmp_live_stream::~rtmp_live_stream() = default;

// One player's failure (out of memory in its connection) must not reach the
// publisher or the other players.
template <class Each>
void rtmp_live_stream::for_each_player(Each each) {
    for (auto& [key, player] : players_) {
        try {
            each(player);
        } catch (const std::exception&) {
        }
    }
}

void rtmp_live_stream::on_video(const std::uint8_t* data, std::uint32_t size,
                                std::uint32_t timestamp) {
    std::lock_guard lock(mutex_);
    if (is_avc_sequence_header(data, size)) {
        avc_header_.assign(reinterpret_cast<const char*>(data), size);
    }
    last_video_time_ = timestamp;
    for_each_player([&](player_callbacks& player) { player.video(data, size, timestamp); });
}

void rtmp_live_stream::on_audio(const std::uint8_t* data, std::uint32_t size,
                                std::uint32_t timestamp) {
    std::lock_guard lock(mutex_);
    last_audio_time_ = timestamp;
    if (is_aac_sequence_header(data, size)) {
        aac_header_.assign(reinterpret_cast<const char*>(data), size);
    }
    for_each_player([&](player_callbacks& player) { player.audio(data, size, timestamp); });
}

void rtmp_live_stream::on_data(buffer_reader& reader, std::uint32_t timestamp) {
    const std::uint32_t start = reader.pos;
    const light_string first = read_amf0<amf0_string>(reader);
    if (light_string_equals(first, "@setDataFrame") ||
        light_string_equals(first, "@clearDataFrame")) {
        const std::uint32_t metadata_start = reader.pos;
        if (!light_string_equals(read_amf0<amf0_string>(reader), "onMetaData")) {
            return;
        }
        std::lock_guard lock(mutex_);
        if (light_string_equals(first, "@clearDataFrame")) {
            metadata_.clear();
            return;
        }
        metadata_.assign(reinterpret_cast<const char*>(reader.data) + metadata_start,
                         reader.size - metadata_start);
        reader.pos = metadata_start;
        for_each_player([&](player_callbacks& player) { player.data(reader, timestamp); });
        return;
    }
    reader.pos = start;
    std::lock_guard lock(mutex_);
    for_each_player([&](player_callbacks& player) { player.data(reader, timestamp); });
}

void rtmp_live_stream::on_data_amf3(buffer_reader& reader, std::uint32_t timestamp) {
    std::lock_guard lock(mutex_);
    for_each_player([&](player_callbacks& player) { player.data_amf3(reader, timestamp); });
}

std::int32_t rtmp_live_stream::add_player(const player_callbacks& callbacks) {
    std::lock_guard lock(mutex_);
    std::int32_t key = next_key_;
    while (players_.contains(key)) {
        key = next_key(key);
    }
    player_callbacks& player = players_.emplace(key, callbacks).first->second;
    next_key_ = next_key(key);

    // A late joiner first gets what it cannot start without.
    try {
        if (!metadata_.empty()) {
            buffer_reader reader(metadata_.data(), size_of(metadata_));
            player.data(reader, std::max(last_video_time_, last_audio_time_));
        }
        if (!avc_header_.empty()) {
            player.video(bytes(avc_header_), size_of(avc_header_), last_video_time_);
        }
        if (!aac_header_.empty()) {
            player.audio(bytes(aac_header_), size_of(aac_header_), last_audio_time_);
        }
    } catch (const std::exception&) {
    }
    return key;
}

void rtmp_live_stream::remove_player(std::int32_t key) {
    std::lock_guard lock(mutex_);
    players_.erase(key);
}

std::size_t rtmp_live_stream::player_count() const {
    std::lock_guard lock(mutex_);
    return players_.size();
}

bool rtmp_live_stream::claim_publisher() {
    std::uint32_t unpublished = 0;
    if (!published_.compare_exchange_strong(unpublished, 1)) {
        return false;
    }
    std::lock_guard lock(mutex_);
    last_video_time_ = 0;
    last_audio_time_ = 0;
    for_each_player([](player_callbacks& player) { player.publish_notify(); });
    return true;
}

void rtmp_live_stream::release_publisher() {
    std::lock_guard lock(mutex_);
    published_ = 0;
    avc_header_.clear();
    aac_header_.clear();
    metadata_.clear();
    for_each_player([](player_callbacks& player) { player.unpublish_notify(); });
}

void rtmp_live_stream::unpublish(rtmp_live_streams& registry) {
    std::lock_guard lock(registry.mutex_);
    release_publisher();
    registry.erase_if_unused(name_);
}

rtmp_live_streams::~rtmp_live_streams() = default;

rtmp_live_stream* rtmp_live_streams::publish(std::string_view name) {
    std::lock_guard lock(mutex_);
    auto it = streams_.find(name);
    if (it == streams_.end()) {
        it = streams_
                 .emplace(std::string(name), std::make_unique<rtmp_live_stream>(std::string(name)))
                 .first;
    }
    return it->second->claim_publisher() ? it->second.get() : nullptr;
}

bool rtmp_live_streams::exists(std::string_view name) const {
    std::lock_guard lock(mutex_);
    return streams_.contains(name);
}

std::int32_t rtmp_live_streams::add_player(std::string_view name, const player_callbacks& callbacks,
                                           bool only_existing) {
    std::lock_guard lock(mutex_);
    auto it = streams_.find(name);
    if (it == streams_.end()) {
        if (only_existing) {
            return -1;
        }
        it = streams_
                 .emplace(std::string(name), std::make_unique<rtmp_live_stream>(std::string(name)))
                 .first;
    }
    return it->second->add_player(callbacks);
}

void rtmp_live_streams::remove_player(std::string_view name, std::int32_t key) {
    std::lock_guard lock(mutex_);
    auto it = streams_.find(name);
    if (it != streams_.end()) {
        it->second->remove_player(key);
        erase_if_unused(it->first);
    }
}

void rtmp_live_streams::erase_if_unused(const std::string& name) {
    auto it = streams_.find(name);
    if (it != streams_.end() && !it->second->published() && it->second->player_count() == 0) {
        streams_.erase(it);
    }
}

void rtmp_live_streams::clear() {
    std::lock_guard lock(mutex_);
    streams_.clear();
}

std::size_t rtmp_live_streams::size() const {
    std::lock_guard lock(mutex_);
    return streams_.size();
}

rtmp_live_stream_player::rtmp_live_stream_player(rtmp_live_streams& registry,
                                                 const rtmp_send_queue& send_queue,
                                                 rtmp_net_stream& netstream)
    : registry_(registry), send_queue_(send_queue), netstream_(netstream) {}

rtmp_live_stream_player::~rtmp_live_stream_player() {
    if (key_ != -1) {
        registry_.remove_player(name_, key_);
    }
}

player_callbacks rtmp_live_stream_player::callbacks() {
    player_callbacks callbacks;
    callbacks.publish_notify = [this] { on_publish(); };
    callbacks.unpublish_notify = [this] { on_unpublish(); };
    callbacks.video = [this](const std::uint8_t* data, std::uint32_t size, std::uint32_t time) {
        on_video(data, size, time);
    };
    callbacks.audio = [this](const std::uint8_t* data, std::uint32_t size, std::uint32_t time) {
        on_audio(data, size, time);
    };
    callbacks.data = [this](buffer_reader& reader, std::uint32_t time) {
        on_data(message_type::data_amf0, reader, time);
    };
    callbacks.data_amf3 = [this](buffer_reader& reader, std::uint32_t time) {
        on_data(message_type::data_amf3, reader, time);
    };
    return callbacks;
}

bool rtmp_live_stream_player::play(double start, std::string_view name) {
    if (std::isnan(start) || start >= 4294967296.0) {
        return false;
    }
    if (start == -2000 || start == -2) {
        // Live or recorded: with nothing live of that name, the application
        // tries a recorded stream instead. The registry is asked without the
        // stack lock, which a publisher's notifications take under the
        // registry's lock.
        stack_unlock unlocked(netstream_.stack_lock());
        if (!registry_.exists(name)) {
            return false;
        }
    }
    if (!netstream_.open_media_streams()) {
        return false;
    }
    start_time_ = start >= 0 ? static_cast<std::uint32_t>(start) : 0;
    name_ = name;
    netstream_.send_play_reset_start();
    playing_ = true;
    const player_callbacks joined = callbacks();
    std::int32_t key;
    {
        // Joining replays the stored messages through the callbacks, which
        // take the stack lock.
        stack_unlock unlocked(netstream_.stack_lock());
        key = registry_.add_player(name_, joined, false);
    }
    key_ = key;
    return true;
}

void rtmp_live_stream_player::pause(bool pause, bool toggle) {
    playing_ = toggle ? !playing_ : !pause;
    if (playing_) {
        rebase_ = true;
        wait_keyframe_ = true;
        netstream_.send_unpause_notify();
    } else {
        netstream_.send_pause_notify();
    }
    netstream_.flush();
}

void rtmp_live_stream_player::seek(std::uint32_t milliseconds) {
    rebase_ = true;
    wait_keyframe_ = true;
    playing_ = true;
    start_time_ = milliseconds;
    netstream_.send_seek_notify();
}

std::uint32_t rtmp_live_stream_player::rebased(std::uint32_t timestamp) {
    if (rebase_) {
        source_base_ = timestamp;
        rebase_ = false;
    }
    // A replayed sequence header is older than the base: it starts the
    // player's stream rather than wrapping to 49 days.
    const auto since_base = static_cast<std::int32_t>(timestamp - source_base_);
    return start_time_ + static_cast<std::uint32_t>(std::max(since_base, 0));
}

void rtmp_live_stream_player::write_media(output_chunkstream& on, std::uint8_t type,
                                          const std::uint8_t* data, std::uint32_t size,
                                          std::uint32_t timestamp) {
    netstream_.write(on, type, timestamp, data, size);
    // Flushing every message would send a block per frame; flushing too
    // rarely adds latency. A step back in time also flushes.
    const std::uint32_t since_flush = timestamp - last_flush_time_;
    if (static_cast<std::int32_t>(since_flush) > static_cast<std::int32_t>(buffer_length_ / 2) ||
        since_flush > 1000) {
        netstream_.flush();
        last_flush_time_ = timestamp;
    }
}

void rtmp_live_stream_player::on_video(const std::uint8_t* data, std::uint32_t size,
                                       std::uint32_t timestamp) {
    std::lock_guard lock(netstream_.stack_lock());
    last_source_video_time_ = timestamp;
    if (!receive_video_ || !playing_) {
        return;
    }
    const std::uint32_t out = rebased(timestamp);
    if (wait_keyframe_) {
        const bool keyframe = size > 10 && (data[0] & 0xF0) == 0x10;
        if (!keyframe) {
            return;
        }
        if (is_avc_sequence_header(data, size)) {
            write_media(*netstream_.video_stream(), message_type::video, data, size, out);
            return;
        }
        wait_keyframe_ = false;
    }
    const std::uint32_t pending = send_queue_.pending();
    if (pending > drop_above) {
        // The frames after a dropped one cannot be decoded: start again at a
        // keyframe once the client has caught up.
        wait_keyframe_ = true;
        return;
    }
    if (pending > keyframes_only_above) {
        wait_keyframe_ = true;
    }
    write_media(*netstream_.video_stream(), message_type::video, data, size, out);
}

void rtmp_live_stream_player::on_audio(const std::uint8_t* data, std::uint32_t size,
                                       std::uint32_t timestamp) {
    std::lock_guard lock(netstream_.stack_lock());
    if (!receive_audio_ || !playing_) {
        return;
    }
    const std::uint32_t out = rebased(timestamp);
    if (send_queue_.pending() > drop_above) {
        return;
    }
    write_media(*netstream_.audio_stream(), message_type::audio, data, size, out);
}

void rtmp_live_stream_player::on_data(std::uint8_t type, const buffer_reader& reader,
                                      std::uint32_t timestamp) {
    std::lock_guard lock(netstream_.stack_lock());
    const std::uint32_t out = rebased(timestamp);
    netstream_.write(*netstream_.video_stream(), type, out, reader.data + reader.pos,
                     reader.remaining());
    netstream_.flush();
    last_flush_time_ = out;
}

void rtmp_live_stream_player::on_publish() {
    std::lock_guard lock(netstream_.stack_lock());
    rebase_ = true;
    netstream_.send_publish_notify();
    netstream_.flush();
}

void rtmp_live_stream_player::on_unpublish() {
    std::lock_guard lock(netstream_.stack_lock());
    rebase_ = true;
    netstream_.send_end_of_sequence_video();
    netstream_.send_unpublish_notify();
    netstream_.flush();
}

}  // namespace rtmp
