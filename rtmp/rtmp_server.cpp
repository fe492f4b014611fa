#include "rtmp/rtmp_server.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <chrono>
#include <cstring>
#include <exception>
#include <span>
#include <utility>

namespace rtmp {

rtmp_server::rtmp_server(io_service_pool& pool, const endpoint_type& endpoint,
                         rtmp_server_context& server_context)
    : tcp_server(pool.pick(), endpoint), context(server_context), pool_(pool), timer_(strand()) {}

rtmp_server::~rtmp_server() = default;

void rtmp_server::start() {
    boost::asio::post(strand(), [self = shared_from_this()] { self->arm_timer(); });
    tcp_server::start();
}

void rtmp_server::stop() {
    tcp_server::stop();
    boost::asio::post(strand(), [self = shared_from_this()] { self->timer_.cancel(); });
}

rtmp_server::connection_ptr rtmp_server::make_connection() {
    return std::make_shared<rtmp_server_connection>(shared_from_this());
}

void rtmp_server::arm_timer() {
    timer_.expires_after(std::chrono::seconds(1));
    timer_.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
        self->on_tick(error);
    });
}

void rtmp_server::on_tick(const boost::system::error_code&) {
    if (stopped()) {
        return;
    }
    for (const auto& connection : connections()) {
        if (connection->idle_tick()) {
            connection->close();
        }
    }
    arm_timer();
}

rtmp_server_connection::rtmp_server_connection(std::shared_ptr<rtmp_server> server)
    : tcp_connection(std::move(server)),
      send_queue_(
          send_queue_limit, [this](output_item& item) { write(item); },
          [](output_item& item, output_item& last) { return last.merge(item); }),
      callbacks_{[this](output_item& item) { return send(item); },
                 [this](unsigned exponent) { return this->server().context.pool(exponent); },
                 &this->server().context.pending_messages},
      stack_(std::make_unique<rtmp_server_stack>(callbacks_)) {
    const std::int32_t idle_timeout = this->server().context.idle_timeout;
    receive_countdown = send_countdown = receive_timeout = send_timeout = idle_timeout;
}

rtmp_server_connection::~rtmp_server_connection() = default;

void rtmp_server_connection::start() {
    read_buffer_.resize(read_buffer_size);
    // Until the handshake is done, a peer that only trickles bytes in does
    // not keep the connection: it closes when either direction is idle.
    close_mode = 0;
    boost::asio::post(executor(), [self = shared_from_this()] {
        // A write tries the socket at once (start_write) and must never wait
        // for it.
        boost::system::error_code error;
        self->socket().non_blocking(true, error);
        if (error) {
            self->close();
            return;
        }
        self->read();
    });
}

void rtmp_server_connection::on_close() {
    write_waiters_.clear();
    stack_->close();
}

void rtmp_server_connection::read() {
    socket().async_read_some(
        boost::asio::buffer(read_buffer_),
        [self = shared_from_this()](const boost::system::error_code& error, std::size_t count) {
            self->on_read(error, count);
        });
}

void rtmp_server_connection::on_read(const boost::system::error_code& error, std::size_t count) {
    assert_on_own_thread();
    if (error) {
        close();
        return;
    }
    const bool handshaking = !stack_->handshake_done();
    try {
        // Only whole messages keep a connection alive: a peer that trickles
        // in bytes of messages it never completes is as idle as a silent one.
        if (stack_->on_data(read_buffer_.data(), static_cast<std::uint32_t>(count))) {
            receive_countdown.store(receive_timeout, std::memory_order_relaxed);
        }
    } catch (const connection_refused&) {
        // Closing now could cancel the write that tells the client why.
        close_when_sent();
        return;
    } catch (const std::exception&) {
        close();
        return;
    }
    if (close_mode.load(std::memory_order_relaxed) == 0 && stack_->handshake_done()) {
        close_mode = 1;
    }
    if (!handshaking && count == read_buffer_.size() &&
        read_buffer_.size() < max_read_buffer_size) {
        read_buffer_.resize(read_buffer_.size() * 2);
    }
    if (!closed()) {
        read();
    }
}

bool rtmp_server_connection::send(output_item& item) {
    assert_on_own_thread();
    const std::uint64_t bytes = item.size();
    if (queued_bytes_.fetch_add(bytes) + bytes > max_queued_bytes) {
        queued_bytes_.fetch_sub(bytes);
        item.reset();
        close();
        return false;
    }
    return send_queue_.push(std::move(item));
}

// The send queue's work: one write of the item, its block's bytes and the
// shared bodies between them gathered in one call.
//
// The write starts from a handler of its own on the connection's thread, so
// that what the code pushing this item goes on to queue (a batch of live
// messages, a reply of several messages) leaves in the same write; a
// producer that has queued all it means to for now can start it at once
// (write_now).
void rtmp_server_connection::write(output_item& item) {
    in_flight_.push_back(std::move(item));
    boost::asio::post(executor(), [self = shared_from_this()] { self->start_write(); });
}

void rtmp_server_connection::write_now() {
    assert_on_own_thread();
    start_write();
}

void rtmp_server_connection::start_write() {
    // Started already (by write_now, or by the handler of an earlier item),
    // or written already.
    if (writing_ || in_flight_.empty()) {
        return;
    }
    writing_ = true;
    send_queue_.take_waiting(in_flight_, max_items_per_write - in_flight_.size());
    const std::size_t total = gather(0);
    // What the socket takes at once (most writes, when the peer reads) is
    // done here: the blocks go back to the pool before the next producer
    // on this thread takes some.
    boost::system::error_code error;
    const std::size_t written = socket().write_some(gather_, error);
    if (error == boost::asio::error::would_block) {
        error.clear();
    }
    if (error || written == total) {
        finish_write(error);
        return;
    }
    // The rest waits until the peer reads: what it holds should be about
    // what it has to send.
    shrink_unstarted_items(written);
    gather(written);
    // A view of the list: the write keeps a copy of the sequence it is
    // given, and a copy of the vector would allocate for every write.
    boost::asio::async_write(
        socket(), std::span<const boost::asio::const_buffer>(gather_),
        [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
            self->finish_write(error);
        });
}

std::size_t rtmp_server_connection::gather(std::size_t skip) {
    gather_.clear();
    std::size_t total = 0;
    for (const output_item& item : in_flight_) {
        item.for_each_run([&](const std::uint8_t* data, std::uint32_t size) {
            if (skip >= size) {
                skip -= size;
                return;
            }
            gather_.emplace_back(data + skip, size - skip);
            total += size - skip;
            skip = 0;
        });
    }
    return total;
}

// A block is taken for the bytes a producer may go on to write into it; an
// item that waits keeps only what its bytes need. The last item of a burst
// held back by a peer that does not read is usually little more than the
// end of one message.
void rtmp_server_connection::shrink_unstarted_items(std::size_t written) {
    std::size_t offset = 0;
    for (output_item& item : in_flight_) {
        const std::uint32_t size = item.size();
        const bool started = offset < written;
        offset += size;
        // An item of its block's bytes alone, and not begun.
        if (started || item.has_shared() || size == 0 || size != item.block().size()) {
            continue;
        }
        unsigned exponent = block_malloc_array::base_exponent;
        while ((std::uint32_t{1} << exponent) < size) {
            ++exponent;
        }
        if ((std::uint32_t{1} << exponent) >= item.block().capacity()) {
            continue;
        }
        block_buffer smaller = server().context.pool(exponent);
        std::memcpy(smaller.data(), item.block().data(), size);
        smaller.set_size(size);
        item = output_item(std::move(smaller));
    }
}

void rtmp_server_connection::finish_write(const boost::system::error_code& error) {
    writing_ = false;
    send_countdown.store(send_timeout, std::memory_order_relaxed);
    std::uint64_t written = 0;
    for (const output_item& item : in_flight_) {
        written += item.size();
    }
    queued_bytes_.fetch_sub(written);
    // Clearing keeps the room for the next write's items.
    in_flight_.clear();
    if (error) {
        write_waiters_.clear();
        close();
    }
    if (send_queue_.next()) {
        on_all_written();
    }
    if (!write_waiters_.empty()) {
        // From a handler of their own: this may run inside a producer's
        // write_now, and a waiter may queue more and wait again.
        boost::asio::post(executor(),
                          [self = shared_from_this(), waiting = std::exchange(write_waiters_, {})] {
                              for (const auto& resume : waiting) {
                                  resume();
                              }
                          });
    }
}

void rtmp_server_connection::on_all_written() {
    // The usual write, a live player's batch, is one item: room for it
    // stays. What a burst took goes, so that the many connections that are
    // between their bursts at any time hold no room for the next one.
    if (in_flight_.capacity() > 1) {
        std::vector<output_item>().swap(in_flight_);
    }
    if (close_when_sent_) {
        close();
    }
}

void rtmp_server_connection::when_written(std::function<void()> written) {
    assert_on_own_thread();
    if (send_queue_.idle()) {
        boost::asio::post(executor(), std::move(written));
        return;
    }
    write_waiters_.push_back(std::move(written));
}

void rtmp_server_connection::close_when_sent() {
    close_when_sent_ = true;
    if (send_queue_.idle()) {
        close();
    }
}

}  // namespace rtmp
