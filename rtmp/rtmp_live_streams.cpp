#include "rtmp/rtmp_live_streams.hpp"

#include <boost/asio/post.hpp>

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

}  // namespace

live_message::live_message(std::uint8_t type, const std::uint8_t* data, std::uint32_t size,
                           std::uint32_t timestamp)
    : type_(type),
      timestamp_(timestamp),
      csid_(3 * encoded_stream_id + (type == message_type::audio ? 5 : 4)),
      payload_(data, data + size) {
    if (size <= encoded_chunk_size) {
        return;
    }
    // The pieces after the first, each behind a one-byte format 3 header.
    const std::uint32_t pieces = (size + encoded_chunk_size - 1) / encoded_chunk_size;
    chunked_.reserve(size + pieces - 1);
    const auto continuation = static_cast<std::uint8_t>(3 << 6 | csid_);
    for (std::uint32_t at = 0; at < size; at += encoded_chunk_size) {
        if (at != 0) {
            chunked_.push_back(continuation);
        }
        chunked_.insert(chunked_.end(), data + at, data + std::min(size, at + encoded_chunk_size));
    }
}

// The players of one stream whose connections run on one io thread. The
// publisher's thread appends events to `waiting_` and posts one delivery
// when it was empty; the delivery, on the group's thread, takes the whole
// batch and runs each player through it.
class rtmp_live_stream::thread_group : public std::enable_shared_from_this<thread_group> {
  public:
    explicit thread_group(boost::asio::io_context& thread) : context(thread) {}

    boost::asio::io_context& context;
    // Changed on the group's thread (joining and leaving happen there) under
    // the stream's lock, so the publisher may look at it under that lock.
    std::vector<rtmp_live_stream_player*> members;

    // On the publisher's thread, under the stream's lock.
    void hand_over(live_event event) {
        bool post = false;
        {
            std::lock_guard lock(mutex_);
            if (!waiting_) {
                waiting_ = std::make_shared<live_batch>();
                post = true;
            }
            waiting_->events.push_back(std::move(event));
        }
        if (post) {
            boost::asio::post(context, [self = shared_from_this()] { self->deliver(); });
        }
    }

  private:
    void deliver() {
        std::shared_ptr<const live_batch> batch;
        {
            std::lock_guard lock(mutex_);
            batch = std::move(waiting_);
        }
        for (rtmp_live_stream_player* player : members) {
            // One player's failure (out of memory in its connection) must
            // not reach the others.
            try {
                player->deliver(batch);
            } catch (const std::exception&) {
            }
        }
    }

    std::mutex mutex_;
    std::shared_ptr<live_batch> waiting_;
};

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

void rtmp_live_stream::on_video(const std::uint8_t* data, std::uint32_t size,
                                std::uint32_t timestamp) {
    const bool header = is_avc_sequence_header(data, size);
    std::lock_guard lock(mutex_);
    last_video_time_ = timestamp;
    for_each_sink([&](player_callbacks& sink) { sink.video(data, size, timestamp); });
    if (!header && !has_thread_players()) {
        return;
    }
    auto message = std::make_shared<const live_message>(message_type::video, data, size, timestamp);
    if (header) {
        avc_header_ = message;
    }
    if (has_thread_players()) {
        hand_over(live_event::kind::message, std::move(message));
    }
}

void rtmp_live_stream::on_audio(const std::uint8_t* data, std::uint32_t size,
                                std::uint32_t timestamp) {
    const bool header = is_aac_sequence_header(data, size);
    std::lock_guard lock(mutex_);
    last_audio_time_ = timestamp;
    for_each_sink([&](player_callbacks& sink) { sink.audio(data, size, timestamp); });
    if (!header && !has_thread_players()) {
        return;
    }
    auto message = std::make_shared<const live_message>(message_type::audio, data, size, timestamp);
    if (header) {
        aac_header_ = message;
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
    for_each_sink([&](player_callbacks& sink) { sink.data(reader, timestamp); });
    if (!stored && !has_thread_players()) {
        return;
    }
    auto message = std::make_shared<const live_message>(
        message_type::data_amf0, reader.data + forwarded, reader.size - forwarded, timestamp);
    if (stored) {
        metadata_ = message;
    }
    if (has_thread_players()) {
        hand_over(live_event::kind::message, std::move(message));
    }
}

void rtmp_live_stream::on_data_amf3(buffer_reader& reader, std::uint32_t timestamp) {
    std::lock_guard lock(mutex_);
    for_each_sink([&](player_callbacks& sink) { sink.data_amf3(reader, timestamp); });
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
        group = groups_.insert(groups_.end(), std::make_shared<thread_group>(thread));
    }
    thread_group& joined = **group;
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
    if (thread_group* group = it->second.group) {
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

rtmp_live_stream_player::rtmp_live_stream_player(rtmp_live_streams& registry,
                                                 const rtmp_send_queue& send_queue,
                                                 rtmp_net_stream& netstream,
                                                 boost::asio::io_context& thread)
    : registry_(registry), send_queue_(send_queue), netstream_(netstream), thread_(thread) {}

rtmp_live_stream_player::~rtmp_live_stream_player() {
    if (key_ != -1) {
        registry_.remove_player(name_, key_);
    }
}

bool rtmp_live_stream_player::play(double start, std::string_view name) {
    if (std::isnan(start) || start >= 4294967296.0) {
        return false;
    }
    // Live or recorded: with nothing live of that name, the application
    // tries a recorded stream instead.
    if ((start == -2000 || start == -2) && !registry_.exists(name)) {
        return false;
    }
    if (!netstream_.open_media_streams()) {
        return false;
    }
    start_time_ = start >= 0 ? static_cast<std::uint32_t>(start) : 0;
    name_ = name;
    netstream_.send_play_reset_start();
    playing_ = true;
    const live_join joined = registry_.add_player(name_, *this, thread_);
    key_ = joined.key;
    // What the publisher sends from now on comes in a later handler of this
    // thread: the replay goes first.
    replay(joined.start);
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

void rtmp_live_stream_player::write(output_chunkstream& on, std::uint8_t type,
                                    const outgoing& message, std::uint32_t timestamp) {
    if (message.encoded != nullptr &&
        netstream_.chunkstreams().write_encoded_message(
            on, type, netstream_.stream_id(), timestamp, message.size, message.encoded->csid(),
            live_message::encoded_chunk_size, message.encoded->chunked(),
            message.encoded->chunked_size(), *message.owner)) {
        return;
    }
    netstream_.write(on, type, timestamp, message.data, message.size);
}

bool rtmp_live_stream_player::write_media(output_chunkstream& on, std::uint8_t type,
                                          const outgoing& message, std::uint32_t timestamp) {
    write(on, type, message, timestamp);
    // Flushing every message would send a block per frame; flushing too
    // rarely adds latency. A step back in time also flushes.
    const std::uint32_t since_flush = timestamp - last_flush_time_;
    if (static_cast<std::int32_t>(since_flush) > static_cast<std::int32_t>(buffer_length_ / 2) ||
        since_flush > 1000) {
        last_flush_time_ = timestamp;
        return true;
    }
    return false;
}

bool rtmp_live_stream_player::video(const outgoing& message) {
    last_source_video_time_ = message.timestamp;
    if (!receive_video_ || !playing_) {
        return false;
    }
    const std::uint32_t out = rebased(message.timestamp);
    const std::uint8_t* data = message.data;
    if (wait_keyframe_) {
        const bool keyframe = message.size > 10 && (data[0] & 0xF0) == 0x10;
        if (!keyframe) {
            return false;
        }
        if (is_avc_sequence_header(data, message.size)) {
            return write_media(*netstream_.video_stream(), message_type::video, message, out);
        }
        wait_keyframe_ = false;
    }
    const std::uint32_t pending = send_queue_.pending();
    if (pending > drop_above) {
        // The frames after a dropped one cannot be decoded: start again at a
        // keyframe once the client has caught up.
        wait_keyframe_ = true;
        return false;
    }
    if (pending > keyframes_only_above) {
        wait_keyframe_ = true;
    }
    return write_media(*netstream_.video_stream(), message_type::video, message, out);
}

bool rtmp_live_stream_player::audio(const outgoing& message) {
    if (!receive_audio_ || !playing_) {
        return false;
    }
    const std::uint32_t out = rebased(message.timestamp);
    if (send_queue_.pending() > drop_above) {
        return false;
    }
    return write_media(*netstream_.audio_stream(), message_type::audio, message, out);
}

bool rtmp_live_stream_player::data(std::uint8_t type, const outgoing& message) {
    const std::uint32_t out = rebased(message.timestamp);
    write(*netstream_.video_stream(), type, message, out);
    last_flush_time_ = out;
    return true;
}

bool rtmp_live_stream_player::publish() {
    rebase_ = true;
    netstream_.send_publish_notify();
    return true;
}

bool rtmp_live_stream_player::unpublish() {
    rebase_ = true;
    netstream_.send_end_of_sequence_video();
    netstream_.send_unpublish_notify();
    return true;
}

void rtmp_live_stream_player::replay(const live_start& start) {
    const auto send = [&](const std::shared_ptr<const live_message>& stored,
                          std::uint32_t timestamp) {
        const std::shared_ptr<const void> owner = stored;
        const outgoing message{stored->data(), stored->size(), timestamp, stored.get(), &owner};
        switch (stored->type()) {
            case message_type::video:
                return video(message);
            case message_type::audio:
                return audio(message);
            default:
                return data(stored->type(), message);
        }
    };
    // The player stays joined when its connection cannot take these (out of
    // memory): as with a failed delivery, it gets what comes next.
    try {
        bool flush = false;
        if (start.metadata) {
            flush |= send(start.metadata, std::max(start.last_video_time, start.last_audio_time));
        }
        if (start.avc_header) {
            flush |= send(start.avc_header, start.last_video_time);
        }
        if (start.aac_header) {
            flush |= send(start.aac_header, start.last_audio_time);
        }
        if (flush) {
            netstream_.flush();
        }
    } catch (const std::exception&) {
    }
}

void rtmp_live_stream_player::deliver(const std::shared_ptr<const live_batch>& batch) {
    const std::shared_ptr<const void> owner = batch;
    bool flush = false;
    for (const live_event& event : batch->events) {
        if (event.sequence <= joined_at_) {
            continue;
        }
        switch (event.what) {
            case live_event::kind::publish:
                flush |= publish();
                break;
            case live_event::kind::unpublish:
                flush |= unpublish();
                break;
            case live_event::kind::message: {
                const live_message& m = *event.message;
                const outgoing message{m.data(), m.size(), m.timestamp(), &m, &owner};
                switch (m.type()) {
                    case message_type::video:
                        flush |= video(message);
                        break;
                    case message_type::audio:
                        flush |= audio(message);
                        break;
                    default:
                        flush |= data(m.type(), message);
                        break;
                }
                break;
            }
        }
    }
    if (flush) {
        netstream_.flush();
    }
}

}  // namespace rtmp
