#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/function.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "foundation/block_pool.hpp"
#include "foundation/io_service_pool.hpp"
#include "foundation/tcp_server.hpp"
#include "rtmp/connection_callbacks.hpp"
#include "rtmp/pending_message_budget.hpp"
#include "rtmp/rtmp_send_queue.hpp"
#include "rtmp/rtmp_server_stack.hpp"
#include "rtmp/tcp_connection.hpp"

namespace rtmp {

// What every connection of an RTMP server shares; the application derives
// its server context from it.
class rtmp_server_context {
  public:
    rtmp_server_context() = default;
    virtual ~rtmp_server_context() = default;

    rtmp_server_context(const rtmp_server_context&) = delete;
    rtmp_server_context& operator=(const rtmp_server_context&) = delete;

    // The blocks all outgoing RTMP data is built in.
    block_malloc_array pool;
    // Seconds without a completed message or write after which a connection
    // closes; set before the server is built.
    std::int32_t idle_timeout = 60;
    // What all connections may hold together in messages still arriving.
    pending_message_budget pending_messages;
};

class rtmp_server_connection;

// The RTMP listener: accepts connections, and closes idle ones on a
// one-second tick.
//
// Always owned by a std::shared_ptr. Stop it, and let the pool finish its
// work (io_service_pool::stop), before the context goes: connections return
// their blocks to the context's pool.
class rtmp_server : public tcp_server<rtmp_server, rtmp_server_connection> {
  public:
    rtmp_server(io_service_pool& pool, const endpoint_type& endpoint, rtmp_server_context& context);
    ~rtmp_server() override;

    void start() override;
    void stop() override;

    // The pool whose io contexts the connections are spread over.
    io_service_pool& pool() noexcept { return pool_; }

    rtmp_server_context& context;

  protected:
    connection_ptr make_connection() override;

  private:
    void arm_timer();
    void on_tick(const boost::system::error_code& error);

    io_service_pool& pool_;
    boost::asio::steady_timer timer_;
};

// One RTMP connection: reads into the protocol stack, and writes what the
// stack sends through its send queue.
//
// The threading rule: a connection, its stack, its net streams and their
// players belong to the connection's io thread (the io context it was given
// when it was made, which one thread runs). Their handlers all run there,
// one after the other: reads and writes, commands, a live player's
// deliveries, a recorded player's runs, the close. So none of them takes a
// lock for its own state; another thread reaches them only by posting to
// executor(). Debug builds check this where the connection reads, sends and
// closes.
class rtmp_server_connection : public tcp_connection<rtmp_server, rtmp_server_connection> {
  public:
    // Room for a player's commands and acknowledgements, which is all it
    // sends once its handshake is done.
    static constexpr std::size_t read_buffer_size = 1024;
    // A read after the handshake that fills the buffer doubles it, up to
    // this: a publisher of a high bitrate then takes a loop turn's worth of
    // its stream in one read, while a player, which sends little, keeps the
    // small buffer. The handshake's few kilobytes come in pieces instead.
    static constexpr std::size_t max_read_buffer_size = 256 * 1024;
    // The advisory limit of the send queue.
    static constexpr std::uint32_t send_queue_limit = 5;
    // A peer that does not read (or a producer that outruns it) would grow
    // the send queue without end: past this many bytes the connection closes.
    static constexpr std::uint64_t max_queued_bytes = 8u << 20;
    // Items that one write takes from the send queue at most: about 64 KiB.
    static constexpr std::size_t max_items_per_write = 16;

    explicit rtmp_server_connection(std::shared_ptr<rtmp_server> server);
    ~rtmp_server_connection() override;

    void start() override;

    rtmp_server_stack& stack() noexcept { return *stack_; }
    rtmp_send_queue& send_queue() noexcept { return send_queue_; }
    // Bytes waiting to be written, including the write in flight.
    std::uint64_t queued_bytes() const noexcept { return queued_bytes_.load(); }
    // Calls `written` from a handler of its own once the write in progress
    // has completed (at once when nothing waits to be written): a producer
    // that holds back while much is queued goes on from there. On the
    // connection's thread only; dropped when a write fails or the
    // connection closes first.
    void when_written(std::function<void()> written);
    // Starts the write of what is queued now, instead of from a handler of
    // its own: for a producer that has queued all it means to for the
    // moment. What the socket takes at once is done with when this returns.
    // On the connection's thread only.
    void write_now();

  protected:
    void on_close() override;

  private:
    void read();
    void on_read(const boost::system::error_code& error, std::size_t count);
    bool send(output_item& item);
    void write(output_item& item);
    void start_write();
    // gather_: the bytes of the items in flight past the first `skip`;
    // returns their count.
    std::size_t gather(std::size_t skip);
    // Moves the items in flight that the socket has not begun to take, and
    // that fill little of their blocks, into blocks their size.
    void shrink_unstarted_items(std::size_t written);
    void finish_write(const boost::system::error_code& error);
    // Everything queued has been written.
    void on_all_written();
    // Closes once everything queued has been written (or a write failed).
    void close_when_sent();

    std::vector<std::uint8_t> read_buffer_;
    rtmp_send_queue send_queue_;
    // The items being written, in one write at a time; room for one is kept
    // between writes. Only touched on the connection's thread.
    std::vector<output_item> in_flight_;
    std::vector<boost::asio::const_buffer> gather_;
    // A write of in_flight_ has started and not finished. Only touched on
    // the connection's thread.
    bool writing_ = false;
    std::atomic<std::uint64_t> queued_bytes_{0};
    // Only touched on the connection's thread.
    std::vector<std::function<void()>> write_waiters_;
    // Only touched on the connection's thread.
    bool close_when_sent_ = false;
    connection_callbacks callbacks_;
    std::unique_ptr<rtmp_server_stack> stack_;
};

}  // namespace rtmp
