#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "foundation/block_pool.hpp"
#include "rtmp/connection_callbacks.hpp"
#include "rtmp/rtmp_chunkstreams.hpp"

namespace bench {

using steady_clock = std::chrono::steady_clock;

// Where the players go and how they ask for the stream.
struct load_target {
    boost::asio::ip::tcp::endpoint endpoint;
    std::string app = "live";
    std::string tc_url;
    std::string stream = "s";
    // Sent as the stream's buffer length, as a player's client does.
    std::uint32_t buffer_ms = 3000;
};

// A player's counters at one moment. Byte and frame counts are totals since
// it started; the gap is the longest wait for media since the sample before.
struct player_sample {
    bool playing = false;
    bool failed = false;
    std::string failure;
    std::uint64_t bytes = 0;
    std::uint64_t video_frames = 0;
    std::uint64_t audio_frames = 0;
    bool has_media = false;
    // The newest media timestamp, unwrapped (ms).
    std::int64_t newest_media_ms = 0;
    // The stream's video frame rate from its onMetaData; 0 when not told.
    double framerate = 0;
    // How far the newest media received is behind the pace at which media
    // arrived at its best: 0 for a player that keeps up, growing for one that
    // falls behind, and growing too while nothing arrives.
    std::int64_t lag_ms = 0;
    std::int64_t longest_gap_ms = 0;
};

// One RTMP player connection: the plain handshake, connect, createStream and
// play, and then reading the stream as a client does (acknowledgements
// included), counting what arrives.
//
// Every handler of a player runs on its io_context, which one thread runs:
// the player needs no lock. Other threads read only `state()`; samples are
// taken by a handler posted to the player's context.
class load_player : public std::enable_shared_from_this<load_player> {
  public:
    enum class state { connecting, handshaking, connecting_app, creating_stream, playing, failed };

    load_player(boost::asio::io_context& io, const load_target& target, block_malloc_array& pool);

    load_player(const load_player&) = delete;
    load_player& operator=(const load_player&) = delete;

    void start();
    // Closes the connection; what follows is no failure. On the player's thread.
    void stop();

    // On the player's thread; starts the next gap measurement.
    player_sample sample(steady_clock::time_point now);

    state current_state() const noexcept { return state_.load(std::memory_order_relaxed); }
    bool receiving_media() const noexcept { return has_media_.load(std::memory_order_relaxed); }

  private:
    void on_connected();
    void read_more();
    void on_read(std::size_t count);
    void on_handshake_bytes(const std::uint8_t* data, std::size_t count);
    void queue(block_buffer block);
    void write_next();
    void fail(std::string why);

    void on_message(const std::uint8_t* body, std::uint32_t size, std::uint32_t timestamp,
                    std::uint8_t type);
    void on_command(const std::uint8_t* body, std::uint32_t size);
    void on_data(const std::uint8_t* body, std::uint32_t size);
    void on_media(std::uint8_t type, const std::uint8_t* body, std::uint32_t size,
                  std::uint32_t timestamp);
    void send_connect();
    void send_create_stream();
    void send_play(std::uint32_t stream_id);

    boost::asio::ip::tcp::socket socket_;
    const load_target& target_;
    block_malloc_array& pool_;
    rtmp::connection_callbacks callbacks_;
    std::unique_ptr<rtmp::rtmp_chunkstreams> chunks_;

    std::vector<std::uint8_t> read_buffer_;
    // S0+S1+S2 while it arrives.
    std::vector<std::uint8_t> handshake_;
    std::deque<block_buffer> out_;
    bool writing_ = false;
    bool stopped_ = false;

    std::atomic<state> state_{state::connecting};
    std::atomic<bool> has_media_{false};
    std::string failure_;

    std::uint64_t bytes_ = 0;
    std::uint64_t video_frames_ = 0;
    std::uint64_t audio_frames_ = 0;
    double framerate_ = 0;
    // Media timestamps unwrapped to 64 bits, and arrival times, in ms.
    std::uint32_t last_raw_timestamp_ = 0;
    std::int64_t last_timestamp_ = 0;
    std::int64_t newest_timestamp_ = 0;
    std::int64_t best_offset_ = 0;
    std::int64_t last_arrival_ = 0;
    std::int64_t longest_gap_ = 0;
};

}  // namespace bench
