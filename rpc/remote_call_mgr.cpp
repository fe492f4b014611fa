#include "rpc/remote_call_mgr.hpp"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/write.hpp>

#include <vector>

namespace rpc {

void remote_call_reply::send(byte_buffer frame) const {
    manager_->send_frame(std::move(frame));
}

std::shared_ptr<remote_call_mgr> remote_call_handler::shared_manager() const {
    return manager_.shared_from_this();
}

remote_call_mgr::remote_call_mgr(boost::asio::io_context& io, std::size_t read_size,
                                 std::uint32_t max_payload_length)
    : transport_(io), reader_(read_size, max_payload_length) {}

remote_call_mgr::~remote_call_mgr() = default;

void remote_call_mgr::start_receive() {
    boost::asio::dispatch(executor(), [self = shared_from_this()] { self->read_more(); });
}

bool remote_call_mgr::add_handler(std::shared_ptr<remote_call_handler> handler) {
    const std::uint32_t method_id = handler->method_id();
    std::lock_guard lock(mutex_);
    return handlers_.emplace(method_id, std::move(handler)).second;
}

void remote_call_mgr::check_method(std::uint32_t method_id, bool has_callback) {
    if (method_id == reply_kind || method_id == keep_alive_kind) {
        throw std::invalid_argument("not a method id: " + std::to_string(method_id));
    }
    if (!has_callback) {
        throw std::invalid_argument("remote method without a callback");
    }
}

std::uint64_t remote_call_mgr::send_request(byte_buffer request,
                                            std::unique_ptr<pending_call> call) {
    std::uint64_t call_id;
    {
        std::lock_guard lock(mutex_);
        do {
            call_id = next_call_id_++;
        } while (call_id == no_call_id || pending_calls_.contains(call_id));
        pending_calls_.emplace(call_id, std::move(call));
    }
    frame_header header = read_frame_header(request.data());
    header.call_id = call_id;
    write_frame_header(request.data(), header);
    queue_frame(std::move(request), call_id);
    return call_id;
}

void remote_call_mgr::send_frame(byte_buffer frame) {
    queue_frame(std::move(frame), no_call_id);
}

void remote_call_mgr::send_error_reply(std::uint64_t call_id, call_status status) {
    send_frame(encode_error_reply(call_id, status));
}

void remote_call_mgr::send_keep_alive() {
    {
        std::lock_guard lock(mutex_);
        idle_sweeps_ = 0;
    }
    send_frame(encode_keep_alive());
}

void remote_call_mgr::queue_frame(byte_buffer frame, std::uint64_t call_id) {
    boost::asio::dispatch(executor(),
                          [self = shared_from_this(), frame = std::move(frame), call_id]() mutable {
                              self->enqueue(std::move(frame), call_id);
                          });
}

// What a queued frame holds: its storage, and about what the allocator and
// the queue add to it (a header of twenty bytes costs far more than twenty).
std::size_t remote_call_mgr::queued_cost(const byte_buffer& frame) noexcept {
    return frame.capacity() + 64;
}

void remote_call_mgr::enqueue(byte_buffer frame, std::uint64_t call_id) {
    if (closed()) {
        // The connection ended before this request could leave, possibly
        // after the pending calls were completed.
        if (auto call = take_call(call_id)) {
            call->complete(call_status::connection_lost);
        }
        return;
    }
    const std::size_t cost = queued_cost(frame);
    if (!write_queue_.empty() && queued_bytes_ + cost > max_queued_bytes) {
        end_connection();  // completes this request too, if it is one
        return;
    }
    queued_bytes_ += cost;
    write_queue_.push_back(std::move(frame));
    if (write_queue_.size() == 1) {
        write_next();
    }
}

void remote_call_mgr::write_next() {
    boost::asio::async_write(
        socket(), boost::asio::buffer(write_queue_.front()),
        boost::asio::bind_executor(
            executor(), [self = shared_from_this()](const boost::system::error_code& error,
                                                    std::size_t) { self->on_write(error); }));
}

void remote_call_mgr::on_write(const boost::system::error_code& error) {
    if (error || closed()) {
        // Only now is no write using the queued buffers.
        write_queue_.clear();
        queued_bytes_ = 0;
        if (error) {
            end_connection();
        }
        return;
    }
    queued_bytes_ -= queued_cost(write_queue_.front());
    write_queue_.pop_front();
    if (!write_queue_.empty()) {
        write_next();
    }
}

void remote_call_mgr::read_more() {
    const std::span<std::uint8_t> room = reader_.prepare();
    socket().async_read_some(
        boost::asio::buffer(room.data(), room.size()),
        boost::asio::bind_executor(
            executor(),
            [self = shared_from_this()](const boost::system::error_code& error, std::size_t count) {
                self->on_read(error, count);
            }));
}

void remote_call_mgr::on_read(const boost::system::error_code& error, std::size_t count) {
    if (error) {
        end_connection();
        return;
    }
    reader_.commit(count);
    try {
        // Every frame of this read is served before the next read, so a
        // method registered by one request is there for the next.
        while (!closed()) {
            const auto frame = reader_.next();
            if (!frame) {
                read_more();
                return;
            }
            silent_sweeps_.store(0, std::memory_order_relaxed);
            dispatch_frame(*frame);
        }
    } catch (const frame_size_error&) {
        end_connection();
    }
}

void remote_call_mgr::dispatch_frame(const frame_view& frame) {
    const frame_header& header = frame.header;
    if (header.kind == reply_kind) {
        complete_call(frame);
        return;
    }
    if (header.kind == keep_alive_kind) {
        send_frame(encode_keep_alive_answer());
        return;
    }
    std::shared_ptr<remote_call_handler> handler;
    {
        std::lock_guard lock(mutex_);
        if (const auto found = handlers_.find(header.kind); found != handlers_.end()) {
            handler = found->second;
        }
    }
    if (!handler) {
        send_error_reply(header.call_id, call_status::no_such_method);
        return;
    }
    try {
        handler->invoke(header.call_id, frame.payload, header.payload_length);
    } catch (...) {
        send_error_reply(header.call_id, call_status::bad_arguments);
    }
}

void remote_call_mgr::complete_call(const frame_view& reply) {
    const frame_header& header = reply.header;
    // A keep-alive answer, or a reply that comes too late, completes nothing.
    std::unique_ptr<pending_call> call = take_call(header.call_id);
    if (!call) {
        return;
    }
    try {
        if (header.status == call_status::success) {
            call->complete_with(reply.payload, header.payload_length);
        } else {
            call->complete(header.status);
        }
    } catch (...) {
        // A completion's failure is its caller's own.
    }
}

std::unique_ptr<pending_call> remote_call_mgr::take_call(std::uint64_t call_id) {
    if (call_id == no_call_id) {
        return nullptr;
    }
    std::lock_guard lock(mutex_);
    const auto found = pending_calls_.find(call_id);
    if (found == pending_calls_.end()) {
        return nullptr;
    }
    std::unique_ptr<pending_call> call = std::move(found->second);
    pending_calls_.erase(found);
    return call;
}

void remote_call_mgr::sweep_calls() {
    std::vector<std::unique_ptr<pending_call>> expired;
    bool keep_alive_due;
    {
        std::lock_guard lock(mutex_);
        for (auto it = pending_calls_.begin(); it != pending_calls_.end();) {
            pending_call& call = *it->second;
            if (call.time_left_ms >= 0 && call.time_left_ms <= sweep_interval_ms) {
                expired.push_back(std::move(it->second));
                it = pending_calls_.erase(it);
                continue;
            }
            if (call.time_left_ms > sweep_interval_ms) {
                call.time_left_ms -= sweep_interval_ms;
            }
            ++it;
        }
        keep_alive_due = ++idle_sweeps_ > sweeps_between_keep_alives;
    }
    for (auto& call : expired) {
        try {
            call->complete(call_status::timed_out);
        } catch (...) {
        }
    }
    if (silent_sweeps_.fetch_add(1, std::memory_order_relaxed) + 1 >= max_silent_sweeps) {
        close();
        return;
    }
    if (keep_alive_due) {
        send_keep_alive();
    }
}

void remote_call_mgr::close() {
    closed_ = true;
    boost::asio::dispatch(executor(), [self = shared_from_this()] { self->end_connection(); });
}

void remote_call_mgr::set_close_callback(std::function<void()> callback) {
    std::lock_guard lock(mutex_);
    close_callback_ = std::move(callback);
}

void remote_call_mgr::end_connection() {
    closed_ = true;
    transport_.close();
    std::map<std::uint64_t, std::unique_ptr<pending_call>> lost;
    std::function<void()> close_callback;
    {
        std::lock_guard lock(mutex_);
        lost.swap(pending_calls_);
        if (!close_notified_) {
            close_notified_ = true;
            close_callback.swap(close_callback_);
        }
    }
    for (auto& [call_id, call] : lost) {
        try {
            call->complete(call_status::connection_lost);
        } catch (...) {
        }
    }
    if (close_callback) {
        try {
            close_callback();
        } catch (...) {
        }
    }
}

}  // namespace rpc
