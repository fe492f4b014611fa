#include "rtmp/rtmp_live_streams.hpp"

#include <algorithm>
#include <climits>
#include <exception>

#include "rtmp/amf0_args.hpp"
#include "rtmp/rtmp_live_stream_player.hpp"

namespace rtmp {

namespace {

// Keys run through every 32-bit value but -1, which means "no key".
std::int32_t next_key(std::int32_t key) {
    if (key == -2) {
        return 0;
    }
    return key == INT32_MAX ? INT32_MIN : key + 1;
}

}  // namespace

rtmp_live_stream::rtmp_live_stream(std::string name) : name_(std::move(name)) {}

rtmp_live_stream::~rtmp_live_stream() = default;

// One sink's failure (out of memory in its connection) must not reach the
// publisher or the other players.
template <class Each>
void rtmp_live_stream::for_each_sink(Each each) {
    for (auto& [key, sink] : sinks_) {
        try {
            each(*sink);
        } catch (const std::exception&) {
        }
    }
}

void rtmp_live_stream::hand_over(live_event::kind what,
                                 std::shared_ptr<const live_message> message) {
    const std::uint64_t sequence = ++sequence_;
    for (const auto& group : groups_) {
        if (!group->members.empty()) {
            group->hand_over({what, sequence, message});
        }
    }
}

// Under the lock.
void rtmp_live_stream::to_sinks(std::uint8_t type, const std::uint8_t* data, std::uint32_t size,
                                std::uint32_t timestamp,
                                const std::shared_ptr<const live_message>& kept) {
    for_each_sink([&](player_callbacks& sink) {
        if (sink.message) {
            sink.message(type, kept ? kept->data() : data, size, timestamp, kept);
        } else if (type == message_type::video) {
            sink.video(data, size, timestamp);
        } else {
            sink.audio(data, size, timestamp);
        }
    });
}

void rtmp_live_stream::on_video(const std::uint8_t* data, std::uint32_t size,
                                std::uint32_t timestamp) {
    on_media(message_type::video, data, size, timestamp, is_avc_sequence_header(data, size),
             last_video_time_, avc_header_);
}

void rtmp_live_stream::on_audio(const std::uint8_t* data, std::uint32_t size,
                                std::uint32_t timestamp) {
    on_media(message_type::audio, data, size, timestamp, is_aac_sequence_header(data, size),
             last_audio_time_, aac_header_);
}

// `last_time` and `stored_header` are this kind's, guarded by the lock.
void rtmp_live_stream::on_media(std::uint8_t type, const std::uint8_t* data, std::uint32_t size,
                                std::uint32_t timestamp, bool header, std::uint32_t& last_time,
                                std::shared_ptr<const live_message>& stored_header) {
    std::lock_guard lock(mutex_);
    last_time = timestamp;
    std::shared_ptr<const live_message> message;
    if (header || has_thread_players()) {
        message = std::make_shared<const live_message>(type, data, size, timestamp);
    }
    to_sinks(type, data, size, timestamp, message);
    if (header) {
        stored_header = message;
    }
    if (has_thread_players()) {
        hand_over(live_event::kind::message, std::move(message));
    }
}

void rtmp_live_stream::on_data(buffer_reader& reader, std::uint32_t timestamp) {
    const std::uint32_t start = reader.pos;
    const light_string first = read_amf0<amf0_string>(reader);
    std::uint32_t forwarded = start;
    if (light_string_equals(first, "@setDataFrame") ||
        light_string_equals(first, "@clearDataFrame")) {
        const std::uint32_t metadata_start = reader.pos;
        if (!light_string_equals(read_amf0<amf0_string>(reader), "onMetaData")) {
            return;
        }
        if (light_string_equals(first, "@clearDataFrame")) {
            std::lock_guard lock(mutex_);
            metadata_.reset();
            return;
        }
        forwarded = metadata_start;
    }
    reader.pos = forwarded;
    const bool stored = forwarded != start;
    std::lock_guard lock(mutex_);
    std::shared_ptr<const live_message> message;
    if (stored || has_thread_players()) {
        message = std::make_shared<const live_message>(
            message_type::data_amf0, reader.data + forwarded, reader.size - forwarded, timestamp);
    }
    for_each_sink([&](player_callbacks& sink) {
        if (sink.message) {
            sink.message(message_type::data_amf0,
                         message ? message->data() : reader.data + forwarded,
                         reader.size - forwarded, timestamp, message);
        } else {
            sink.data(reader, timestamp);
        }
    });
    if (stored) {
        metadata_ = message;
    }
    if (has_thread_players()) {
        hand_over(live_event::kind::message, std::move(message));
    }
}

void rtmp_live_stream::on_data_amf3(buffer_reader& reader, std::uint32_t timestamp) {
    std::lock_guard lock(mutex_);
    for_each_sink([&](player_callbacks& sink) {
        if (!sink.message) {
            sink.data_amf3(reader, timestamp);
        }
    });
    if (has_thread_players()) {
        hand_over(live_event::kind::message,
                  std::make_shared<live_message>(message_type::data_amf3, reader.data + reader.pos,
                                                 reader.remaining(), timestamp));
    }
}

std::int32_t rtmp_live_stream::insert(member added) {
    std::int32_t key = next_key_;
    while (players_.contains(key)) {
        key = next_key(key);
    }
    players_.emplace(key, std::move(added));
    next_key_ = next_key(key);
    return key;
}

// Under the lock.
live_start rtmp_live_stream::stored() const {
    return {metadata_, avc_header_, aac_header_, last_video_time_, last_audio_time_};
}

// A late joiner first gets what it cannot start without.
std::int32_t rtmp_live_stream::add_player(const player_callbacks& callbacks) {
    std::lock_guard lock(mutex_);
    const std::int32_t key = insert({callbacks});
    player_callbacks& sink = players_.at(key).callbacks;
    sinks_.emplace(key, &sink);
    if (sink.message) {
        // The stored messages, at the times they go out at.
        const auto replay = [&](const std::shared_ptr<const live_message>& stored,
                                std::uint32_t timestamp) {
            if (stored) {
                sink.message(stored->type(), stored->data(), stored->size(), timestamp, stored);
            }
        };
        try {
            replay(metadata_, std::max(last_video_time_, last_audio_time_));
            replay(avc_header_, last_video_time_);
            replay(aac_header_, last_audio_time_);
        } catch (const std::exception&) {
        }
        return key;
    }
    try {
        if (metadata_) {
            buffer_reader reader(metadata_->data(), metadata_->size());
            sink.data(reader, std::max(last_video_time_, last_audio_time_));
        }
        if (avc_header_) {
            sink.video(avc_header_->data(), avc_header_->size(), last_video_time_);
        }
        if (aac_header_) {
            sink.audio(aac_header_->data(), aac_header_->size(), last_audio_time_);
        }
    } catch (const std::exception&) {
    }
    return key;
}

live_join rtmp_live_stream::add_player(rtmp_live_stream_player& player,
                                       boost::asio::io_context& thread) {
    std::lock_guard lock(mutex_);
    auto group = std::find_if(groups_.begin(), groups_.end(),
                              [&](const auto& g) { return &g->context == &thread; });
    if (group == groups_.end()) {
        group = groups_.insert(groups_.end(), std::make_shared<live_thread_group>(thread));
    }
    live_thread_group& joined = **group;
    joined.members.push_back(&player);
    // What was handed over before now is not the player's: it starts with
    // the replay, then what follows.
    player.joined_at(sequence_);
    return {insert({{}, &player, &joined}), stored()};
}

void rtmp_live_stream::remove_player(std::int32_t key) {
    std::lock_guard lock(mutex_);
    auto it = players_.find(key);
    if (it == players_.end()) {
        return;
    }
    if (live_thread_group* group = it->second.group) {
        std::erase(group->members, it->second.player);
    } else {
        sinks_.erase(key);
    }
    players_.erase(it);
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
    for_each_sink([](player_callbacks& sink) { sink.publish_notify(); });
    hand_over(live_event::kind::publish, nullptr);
    return true;
}

void rtmp_live_stream::release_publisher() {
    std::lock_guard lock(mutex_);
    published_ = 0;
    avc_header_.reset();
    aac_header_.reset();
    metadata_.reset();
    for_each_sink([](player_callbacks& sink) { sink.unpublish_notify(); });
    hand_over(live_event::kind::unpublish, nullptr);
}

void rtmp_live_stream::unpublish(rtmp_live_streams& registry) {
    std::lock_guard lock(registry.mutex_);
    release_publisher();
    registry.erase_if_unused(name_);
}

rtmp_live_streams::~rtmp_live_streams() = default;

rtmp_live_stream* rtmp_live_streams::publish(std::string_view name) {
    std::lock_guard lock(mutex_);
    rtmp_live_stream& stream = find_or_create(name);
    return stream.claim_publisher() ? &stream : nullptr;
}

bool rtmp_live_streams::exists(std::string_view name) const {
    std::lock_guard lock(mutex_);
    return streams_.contains(name);
}

rtmp_live_stream& rtmp_live_streams::find_or_create(std::string_view name) {
    auto it = streams_.find(name);
    if (it == streams_.end()) {
        it = streams_
                 .emplace(std::string(name), std::make_unique<rtmp_live_stream>(std::string(name)))
                 .first;
    }
    return *it->second;
}

std::int32_t rtmp_live_streams::add_player(std::string_view name, const player_callbacks& callbacks,
                                           bool only_existing) {
    std::lock_guard lock(mutex_);
    if (only_existing && !streams_.contains(name)) {
        return -1;
    }
    return find_or_create(name).add_player(callbacks);
}

live_join rtmp_live_streams::add_player(std::string_view name, rtmp_live_stream_player& player,
                                        boost::asio::io_context& thread) {
    std::lock_guard lock(mutex_);
    return find_or_create(name).add_player(player, thread);
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

}  // namespace rtmp
