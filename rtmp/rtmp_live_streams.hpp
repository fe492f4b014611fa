#pragma once

#include <boost/function.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "foundation/buffer.hpp"
#include "foundation/light_string.hpp"
#include "rtmp/rtmp_net_stream.hpp"
#include "rtmp/rtmp_send_queue.hpp"

namespace rtmp {

// What a live stream hands each of its players (and the recorder's sinks).
// Called with the stream's lock held; the message bytes live during the call.
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

// One named live stream: at most one publisher, its players, and what a late
// joiner needs first (the onMetaData message and the AVC and AAC sequence
// headers).
//
// Lock order: the registry's lock, then this stream's lock, then a player's
// stack lock (taken by its callbacks). Call nothing here while holding a
// connection's stack lock.
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
    // Held while the players' callbacks run; the recorder takes it to end a
    // recording between two messages.
    std::mutex& lock() noexcept { return mutex_; }

  private:
    template <class Each>
    void for_each_player(Each each);

    const std::string name_;
    mutable std::mutex mutex_;
    std::map<std::int32_t, player_callbacks> players_;
    std::atomic<std::uint32_t> published_{0};
    std::string avc_header_;
    std::string aac_header_;
    std::string metadata_;
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
    // Removes the key; a stream left with no publisher and no player goes.
    void remove_player(std::string_view name, std::int32_t key);
    // Drops every stream (at teardown, with no connection left).
    void clear();
    std::size_t size() const;

  private:
    friend class rtmp_live_stream;
    void erase_if_unused(const std::string& name);

    mutable std::mutex mutex_;
    std::map<std::string, std::unique_ptr<rtmp_live_stream>, std::less<>> streams_;
};

// Plays a live stream into one net stream of a player's connection, starting
// at a keyframe and re-basing timestamps so the player's stream starts at its
// own start time. A player whose client lags falls back to keyframes (more
// than 32 blocks waiting) and drops media while more than 128 wait.
//
// Everything but the destructor runs under the player's stack lock (its
// callbacks take it themselves). Destroy it with that lock released: it
// leaves its stream through the registry.
class rtmp_live_stream_player {
  public:
    static constexpr std::uint32_t keyframes_only_above = 32;
    static constexpr std::uint32_t drop_above = 128;

    rtmp_live_stream_player(rtmp_live_streams& registry, const rtmp_send_queue& send_queue,
                            rtmp_net_stream& netstream);
    virtual ~rtmp_live_stream_player();

    rtmp_live_stream_player(const rtmp_live_stream_player&) = delete;
    rtmp_live_stream_player& operator=(const rtmp_live_stream_player&) = delete;

    // Starts playing the named stream; called with the stack lock held, which
    // it releases while it joins the stream. False when `start` asks for live
    // or recorded (-2000 or -2) and no such live stream exists, when start is
    // no usable number, or when the connection has no room for the media
    // chunk streams; nothing is sent then.
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
    player_callbacks callbacks();
    void on_publish();
    void on_unpublish();
    void on_video(const std::uint8_t* data, std::uint32_t size, std::uint32_t timestamp);
    void on_audio(const std::uint8_t* data, std::uint32_t size, std::uint32_t timestamp);
    void on_data(std::uint8_t type, const buffer_reader& reader, std::uint32_t timestamp);
    // The player's timestamp for a source timestamp.
    std::uint32_t rebased(std::uint32_t timestamp);
    void write_media(output_chunkstream& on, std::uint8_t type, const std::uint8_t* data,
                     std::uint32_t size, std::uint32_t timestamp);

    rtmp_live_streams& registry_;
    const rtmp_send_queue& send_queue_;
    rtmp_net_stream& netstream_;
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
