#pragma once

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "rtmp/live_delivery.hpp"
#include "rtmp/rtmp_live_streams.hpp"
#include "rtmp/rtmp_net_stream.hpp"
#include "rtmp/rtmp_send_queue.hpp"

namespace rtmp {

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
    friend class live_thread_group;

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
