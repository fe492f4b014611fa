#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/function.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/buffer.hpp"
#include "foundation/light_string.hpp"
#include "rtmp/rtmp_net_stream.hpp"
#include "rtmp/rtmp_send_queue.hpp"

namespace rtmp {

// What a live stream hands a sink (the recorder's) on the publisher's
// thread. Called with the stream's lock held; the message bytes live during
// the call.
struct player_callbacks {
    boost::function<void()> publish_notify;
    boost::function<void()> unpublish_notify;
    boost::function<void(const std::uint8_t*, std::uint32_t size, std::uint32_t timestamp)> video;
    boost::function<void(const std::uint8_t*, std::uint32_t size, std::uint32_t timestamp)> audio;
    // The reader is positioned where the message to pass on starts; a player
    // reads from there to the end without moving it.
    boost::function<void(buffer_reader&, std::uint32_t timestamp)> data;
    boost::function<void(buffer_reader&, std::uint32_t timestamp)> data_amf3;
};

class rtmp_live_streams;
class rtmp_live_stream_player;

// One message of a live stream as its players send it: a copy of the
// payload made once, and for a payload longer than a chunk the chunks after
// the first header, encoded once for the chunk stream and chunk size that
// nearly every player has (the media chunk stream of message stream 1, the
// first a client creates, at the chunk size of a connected client). A player
// with those writes only its own first chunk header and sends the rest by
// reference; any other copies the payload into its own chunks. Immutable,
// and shared by the threads that deliver it.
class live_message {
  public:
    static constexpr std::uint32_t encoded_stream_id = 1;
    static constexpr std::uint32_t encoded_chunk_size = rtmp_chunkstreams::connected_chunk_size;

    live_message(std::uint8_t type, const std::uint8_t* data, std::uint32_t size,
                 std::uint32_t timestamp);

    std::uint8_t type() const noexcept { return type_; }
    std::uint32_t timestamp() const noexcept { return timestamp_; }
    const std::uint8_t* data() const noexcept { return payload_.data(); }
    std::uint32_t size() const noexcept { return static_cast<std::uint32_t>(payload_.size()); }
    // The chunk stream the encoding is for: video and data go on 3 x id + 4,
    // audio on 3 x id + 5.
    std::uint32_t csid() const noexcept { return csid_; }
    const std::uint8_t* chunked() const noexcept {
        return chunked_.empty() ? payload_.data() : chunked_.data();
    }
    std::uint32_t chunked_size() const noexcept {
        return static_cast<std::uint32_t>(chunked_.empty() ? payload_.size() : chunked_.size());
    }

  private:
    std::uint8_t type_;
    std::uint32_t timestamp_;
    std::uint32_t csid_;
    std::vector<std::uint8_t> payload_;
    // Empty when the payload fits one chunk: the payload is the encoding.
    std::vector<std::uint8_t> chunked_;
};

// What a live stream hands the players of one io thread, in order.
struct live_event {
    enum class kind : std::uint8_t { message, publish, unpublish };
    kind what;
    // Counts every event of the stream: a player that joins skips those
    // that were on their way before it.
    std::uint64_t sequence;
    std::shared_ptr<const live_message> message;
};

// Events handed to one thread in one go; the players' output refers to
// their messages until it has been written.
struct live_batch {
    std::vector<live_event> events;
};

// What a player needs first when it joins a live stream: the stored
// onMetaData message and sequence headers, and the times they go out at.
struct live_start {
    std::shared_ptr<const live_message> metadata;
    std::shared_ptr<const live_message> avc_header;
    std::shared_ptr<const live_message> aac_header;
    std::uint32_t last_video_time = 0;
    std::uint32_t last_audio_time = 0;
};

// A player's place in a live stream: its key, and what it starts with.
struct live_join {
    std::int32_t key = -1;
    live_start start;
};

// One named live stream: at most one publisher, its players, and what a late
// joiner needs first (the onMetaData message and the AVC and AAC sequence
// headers).
//
// Players are grouped by the io thread their connection runs on: the
// publisher's thread hands each message to each such thread once, and that
// thread delivers it to its players (rtmp_live_stream_player). Sinks
// registered as callbacks (the recorder's) are called on the publisher's
// thread.
//
// The stream is shared by the connections of its publisher and its players,
// so its state has a lock. Locks, in the only order they are taken: the
// registry's, then this stream's, then a thread group's hand-over lock, and
// then a sink's own: a sink is called under the stream's lock (so that once
// its removal returns it is never called again) and must only queue what it
// gets, calling nothing back. Nothing else is called out of these locks: a
// joining player replays what it starts with after they are released, and a
// thread's delivery to its players takes only its group's hand-over lock, to
// take the batch.
class rtmp_live_stream {
  public:
    explicit rtmp_live_stream(std::string name);
    virtual ~rtmp_live_stream();

    rtmp_live_stream(const rtmp_live_stream&) = delete;
    rtmp_live_stream& operator=(const rtmp_live_stream&) = delete;

    // The publisher's messages, handed to every player.
    void on_video(const std::uint8_t* data, std::uint32_t size, std::uint32_t timestamp);
    void on_audio(const std::uint8_t* data, std::uint32_t size, std::uint32_t timestamp);
    // "@setDataFrame" "onMetaData" is stored and passed on from "onMetaData";
    // "@clearDataFrame" "onMetaData" empties the store; other messages are
    // passed on whole. A first value that is no string throws the decoder's
    // error.
    void on_data(buffer_reader& reader, std::uint32_t timestamp);
    void on_data_amf3(buffer_reader& reader, std::uint32_t timestamp);

    // Registers the callbacks and replays the stored messages to them;
    // returns the key (never -1).
    std::int32_t add_player(const player_callbacks& callbacks);
    // Registers a player whose connection runs on `thread` (an io context
    // that one thread runs) and from now on delivers to it on that thread;
    // returns its key and the stored messages it starts with, which the
    // player sends itself. Call on that thread; so too remove_player for its
    // key.
    live_join add_player(rtmp_live_stream_player& player, boost::asio::io_context& thread);
    void remove_player(std::int32_t key);

    // Claims the publisher role; false when the stream has a publisher.
    bool claim_publisher();
    // Gives the role up and forgets the stored messages.
    void release_publisher();
    // The publisher leaves: releases the role and, when no player is left,
    // deletes the stream from the registry. The stream may be gone after.
    void unpublish(rtmp_live_streams& registry);

    const std::string& name() const noexcept { return name_; }
    bool published() const noexcept { return published_.load(); }
    std::size_t player_count() const;

  private:
    class thread_group;
    struct member {
        // For a sink.
        player_callbacks callbacks;
        // For a player delivered on its thread.
        rtmp_live_stream_player* player = nullptr;
        thread_group* group = nullptr;
    };

    template <class Each>
    void for_each_sink(Each each);
    std::int32_t insert(member added);
    live_start stored() const;
    // Hands the event to every thread that has players; under the lock.
    void hand_over(live_event::kind what, std::shared_ptr<const live_message> message);
    // Every member that is no callback sink is a player on some thread.
    bool has_thread_players() const noexcept { return players_.size() != sinks_.size(); }

    const std::string name_;
    mutable std::mutex mutex_;
    std::map<std::int32_t, member> players_;
    // The members that are callbacks, called in key order; the map's nodes
    // hold them.
    std::map<std::int32_t, player_callbacks*> sinks_;
    std::vector<std::shared_ptr<thread_group>> groups_;
    std::uint64_t sequence_ = 0;
    std::atomic<std::uint32_t> published_{0};
    std::shared_ptr<const live_message> avc_header_;
    std::shared_ptr<const live_message> aac_header_;
    std::shared_ptr<const live_message> metadata_;
    std::int32_t next_key_ = 0;
    std::uint32_t last_video_time_ = 0;
    std::uint32_t last_audio_time_ = 0;
};

// The server's live streams by name. A stream exists while it has a
// publisher or a player.
class rtmp_live_streams {
  public:
    rtmp_live_streams() = default;
    virtual ~rtmp_live_streams();

    rtmp_live_streams(const rtmp_live_streams&) = delete;
    rtmp_live_streams& operator=(const rtmp_live_streams&) = delete;

    // Finds or creates the stream and claims its publisher role; null when it
    // has a publisher already. The stream stays until this publisher calls
    // its unpublish.
    rtmp_live_stream* publish(std::string_view name);
    bool exists(std::string_view name) const;
    // Adds the player to the stream, creating the stream (unpublished) unless
    // `only_existing`; -1 when there is no such stream and it is not created.
    std::int32_t add_player(std::string_view name, const player_callbacks& callbacks,
                            bool only_existing);
    // The same for a player delivered on its connection's thread (see
    // rtmp_live_stream::add_player); the stream is created when absent.
    live_join add_player(std::string_view name, rtmp_live_stream_player& player,
                         boost::asio::io_context& thread);
    // Removes the key; a stream left with no publisher and no player goes.
    void remove_player(std::string_view name, std::int32_t key);
    // Drops every stream (at teardown, with no connection left).
    void clear();
    std::size_t size() const;

  private:
    friend class rtmp_live_stream;
    void erase_if_unused(const std::string& name);
    rtmp_live_stream& find_or_create(std::string_view name);

    mutable std::mutex mutex_;
    std::map<std::string, std::unique_ptr<rtmp_live_stream>, std::less<>> streams_;
};

// Plays a live stream into one net stream of a player's connection, starting
// at a keyframe and re-basing timestamps so the player's stream starts at its
// own start time. A player whose client lags falls back to keyframes (more
// than 32 blocks waiting) and drops media while more than 128 wait.
//
// It belongs to its connection's thread (`thread`, the io context that runs
// all of the connection's work): it is played, commanded and destroyed
// there, and the stream delivers to it there, a batch of messages at a time,
// sending what the stream encoded once.
class rtmp_live_stream_player {
  public:
    static constexpr std::uint32_t keyframes_only_above = 32;
    static constexpr std::uint32_t drop_above = 128;

    rtmp_live_stream_player(rtmp_live_streams& registry, const rtmp_send_queue& send_queue,
                            rtmp_net_stream& netstream, boost::asio::io_context& thread);
    virtual ~rtmp_live_stream_player();

    rtmp_live_stream_player(const rtmp_live_stream_player&) = delete;
    rtmp_live_stream_player& operator=(const rtmp_live_stream_player&) = delete;

    // Starts playing the named stream. False when `start` asks for live or
    // recorded (-2000 or -2) and no such live stream exists, when start is no
    // usable number, or when the connection has no room for the media chunk
    // streams; nothing is sent then.
    bool play(double start, std::string_view name);
    void pause(bool pause, bool toggle);
    // Restarts delivery at the next keyframe, at the given time.
    void seek(std::uint32_t milliseconds);
    void set_buffer_length(std::uint32_t milliseconds) noexcept { buffer_length_ = milliseconds; }
    void set_receive_video(bool receive) noexcept { receive_video_ = receive; }
    void set_receive_audio(bool receive) noexcept { receive_audio_ = receive; }

    bool playing() const noexcept { return playing_; }
    std::int32_t key() const noexcept { return key_; }

  private:
    friend class rtmp_live_stream;

    // One message to send: its bytes, and the stream's encoding of it when
    // the player has it (with what keeps that alive).
    struct outgoing {
        const std::uint8_t* data;
        std::uint32_t size;
        std::uint32_t timestamp;
        const live_message* encoded = nullptr;
        const std::shared_ptr<const void>* owner = nullptr;
    };

    // What a late joiner needs first, sent when it joins.
    void replay(const live_start& start);
    // The events of a batch not yet seen, on the player's thread; one flush
    // at the end when any of them asked for one.
    void deliver(const std::shared_ptr<const live_batch>& batch);
    void joined_at(std::uint64_t sequence) noexcept { joined_at_ = sequence; }

    // Each returns whether a flush is due.
    bool publish();
    bool unpublish();
    bool video(const outgoing& message);
    bool audio(const outgoing& message);
    bool data(std::uint8_t type, const outgoing& message);
    // The player's timestamp for a source timestamp.
    std::uint32_t rebased(std::uint32_t timestamp);
    void write(output_chunkstream& on, std::uint8_t type, const outgoing& message,
               std::uint32_t timestamp);
    bool write_media(output_chunkstream& on, std::uint8_t type, const outgoing& message,
                     std::uint32_t timestamp);

    rtmp_live_streams& registry_;
    const rtmp_send_queue& send_queue_;
    rtmp_net_stream& netstream_;
    boost::asio::io_context& thread_;
    std::uint64_t joined_at_ = 0;
    std::string name_;
    std::int32_t key_ = -1;
    bool rebase_ = true;
    bool wait_keyframe_ = true;
    std::uint32_t start_time_ = 0;
    std::uint32_t source_base_ = 0;
    std::uint32_t last_source_video_time_ = 0;
    bool receive_video_ = true;
    bool receive_audio_ = true;
    bool playing_ = false;
    std::uint32_t last_flush_time_ = 0;
    std::uint32_t buffer_length_ = 100;
};

}  // namespace rtmp
