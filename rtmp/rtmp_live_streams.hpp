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
#include "rtmp/live_delivery.hpp"

namespace rtmp {

// What a live stream hands a sink (the recorder's) on the publisher's
// thread. Called with the stream's lock held; the message bytes live during
// the call.
struct player_callbacks {
    // A sink that keeps what it gets: each video, audio and data message
    // (from "onMetaData" on, as players get it) with its type and time, and
    // the stream's own copy of it when the stream made one (for its players,
    // or to store it): the bytes are then that copy's, which the sink may
    // hold as long as it likes rather than copy them. Set, it replaces video, audio, data and
    // data_amf3; an AMF3 data message does not reach it.
    boost::function<void(std::uint8_t type, const std::uint8_t* data, std::uint32_t size,
                         std::uint32_t timestamp, const std::shared_ptr<const live_message>& kept)>
        message;
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
    struct member {
        // For a sink.
        player_callbacks callbacks;
        // For a player: it and the group of its thread.
        rtmp_live_stream_player* player = nullptr;
        live_thread_group* group = nullptr;
    };

    template <class Each>
    void for_each_sink(Each each);
    // A video or audio message of the publisher.
    void on_media(std::uint8_t type, const std::uint8_t* data, std::uint32_t size,
                  std::uint32_t timestamp, bool header, std::uint32_t& last_time,
                  std::shared_ptr<const live_message>& stored_header);
    // Hands a publisher's message to every sink.
    void to_sinks(std::uint8_t type, const std::uint8_t* data, std::uint32_t size,
                  std::uint32_t timestamp, const std::shared_ptr<const live_message>& kept);
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
    std::vector<std::shared_ptr<live_thread_group>> groups_;
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

}  // namespace rtmp
