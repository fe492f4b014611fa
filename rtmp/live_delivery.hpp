#pragma once

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "rtmp/rtmp_chunkstreams.hpp"

// How a live stream's messages reach its players: each message is copied and
// chunked once (live_message), and handed in batches to each io thread that
// has players of the stream (live_thread_group), which delivers them there.

namespace rtmp {

class rtmp_live_stream_player;

// A video message of more than 5 bytes starting 17 00; an audio message of
// more than 2 bytes starting AF 00.
bool is_avc_sequence_header(const std::uint8_t* data, std::uint32_t size) noexcept;
bool is_aac_sequence_header(const std::uint8_t* data, std::uint32_t size) noexcept;

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

// The players of one live stream whose connections run on one io thread.
// The publisher's thread appends events to the waiting batch and posts one
// delivery when there was none; the delivery, on the group's thread, takes
// the whole batch and runs each player through it.
//
// Its hand-over lock guards the waiting batch alone and is the last lock on
// the publisher's path (after the stream's): nothing is called while it is
// held, and the delivery takes it only to take the batch.
class live_thread_group : public std::enable_shared_from_this<live_thread_group> {
  public:
    explicit live_thread_group(boost::asio::io_context& thread) : context(thread) {}

    live_thread_group(const live_thread_group&) = delete;
    live_thread_group& operator=(const live_thread_group&) = delete;

    boost::asio::io_context& context;
    // Changed on the group's thread (joining and leaving happen there) under
    // the stream's lock, so the publisher may look at it under that lock;
    // the delivery reads it on the group's thread.
    std::vector<rtmp_live_stream_player*> members;

    // On the publisher's thread, under the stream's lock.
    void hand_over(live_event event);

  private:
    void deliver();

    std::mutex mutex_;
    std::shared_ptr<live_batch> waiting_;
};

}  // namespace rtmp
