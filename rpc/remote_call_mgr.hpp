#pragma once

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "rpc/network_rpc_io.hpp"
#include "rpc/remote_call.hpp"
#include "rpc/rpc_frame.hpp"

namespace rpc {

namespace detail {

// The parameter list of a method: a function type, a pointer to one, or a
// callable object with one call operator.
template <typename Callable>
struct method_signature : method_signature<decltype(&Callable::operator())> {};
template <typename R, typename... Parameters>
struct method_signature<R(Parameters...)> {
    using type = void(Parameters...);
};
template <typename R, typename... Parameters>
struct method_signature<R (*)(Parameters...)> : method_signature<R(Parameters...)> {};
template <typename C, typename R, typename... Parameters>
struct method_signature<R (C::*)(Parameters...)> : method_signature<R(Parameters...)> {};
template <typename C, typename R, typename... Parameters>
struct method_signature<R (C::*)(Parameters...) const> : method_signature<R(Parameters...)> {};

// The handler that serves a method of this parameter list.
template <typename Signature>
struct handler_for;
template <typename Reply, typename... Arguments>
struct handler_for<void(Reply, Arguments...)> {
    using reply_type = std::decay_t<Reply>;
    static_assert(std::is_base_of_v<remote_call_reply, reply_type>,
                  "a remote method takes its reply object first");
    using type = typed_remote_call_handler<reply_type, std::decay_t<Arguments>...>;
};

}  // namespace detail

// One endpoint of a remote-call stream: reads frames from the socket,
// dispatches requests to the methods registered on it, sends replies, error
// replies and keep-alives, and keeps this side's own calls until their
// replies, their time-outs or the end of the connection.
//
// Reads, writes, methods and completions of replies run on the transport's
// strand; registration, calls, sweeps and close may come from any thread.
// Always owned by a shared_ptr: outstanding operations and replies hold one.
class remote_call_mgr : public std::enable_shared_from_this<remote_call_mgr> {
  public:
    // What the time-out of a pending call loses at each sweep.
    static constexpr std::int32_t sweep_interval_ms = 1000;
    // A keep-alive goes out on the sweep after this many.
    static constexpr std::uint32_t sweeps_between_keep_alives = 30;
    // A peer that has sent no frame for this many sweeps, not even the
    // answer to a keep-alive, is gone (or stuck in the middle of a frame):
    // it let four keep-alives pass, three with a whole interval to answer.
    static constexpr std::uint32_t max_silent_sweeps = 4 * (sweeps_between_keep_alives + 1);
    // Frames waiting to be written, by what they hold in memory, past which
    // the connection ends: a peer that asks without reading would otherwise
    // make its replies (refusals too) pile up without end. One frame alone
    // is always written, whatever its size.
    static constexpr std::size_t max_queued_bytes = std::size_t{4} << 20;
    static constexpr std::int32_t no_timeout = -1;

    // `read_size`: the room offered to each read; a frame whose payload is
    // over `max_payload_length` ends the connection.
    remote_call_mgr(boost::asio::io_context& io, std::size_t read_size,
                    std::uint32_t max_payload_length);
    virtual ~remote_call_mgr();

    remote_call_mgr(const remote_call_mgr&) = delete;
    remote_call_mgr& operator=(const remote_call_mgr&) = delete;

    network_rpc_io::socket_type& socket() { return transport_.socket(); }
    const network_rpc_io::executor_type& executor() const { return transport_.executor(); }

    // Starts reading frames from the connected socket. Call once.
    void start_receive();

    // Registers a method under its id. A second handler for an id is refused
    // (the first one stays); returns whether this one was taken.
    bool add_handler(std::shared_ptr<remote_call_handler> handler);

    // Registers a callable as a method. Its first parameter is the reply
    // object (remote_call_reply2<Result, Error>, e.g. bool_reply), the rest
    // are the arguments, decoded in order from the request:
    //   connection->add_method(15, [](rpc::bool_reply reply, std::string a, std::string b) {
    //       reply(true, "");
    //   });
    // Method ids 0 and 0xFFFFFFFF are not method ids; they throw
    // std::invalid_argument, as does an empty callable.
    template <typename Method>
    bool add_method(std::uint32_t method_id, Method method) {
        using signature = typename detail::method_signature<std::decay_t<Method>>::type;
        using handler_type = typename detail::handler_for<signature>::type;
        typename handler_type::callback_type callback(std::move(method));
        check_method(method_id, static_cast<bool>(callback));
        return add_handler(std::make_shared<handler_type>(*this, method_id, std::move(callback)));
    }

    // Registers a member function of `object` as a method:
    //   connection->add_method(1, this, &lumo_main_app::login);
    template <typename Object, typename Reply, typename... Arguments>
    bool add_method(std::uint32_t method_id, Object* object,
                    void (Object::*method)(Reply, Arguments...)) {
        if (object == nullptr || method == nullptr) {
            throw std::invalid_argument("remote method without an object");
        }
        return add_method(method_id, [object, method](Reply reply, Arguments... arguments) {
            (object->*method)(std::move(reply), std::forward<Arguments>(arguments)...);
        });
    }

    // Calls a method of the peer. The completion receives the status and,
    // on success, the decoded results (default values otherwise). It runs
    // once: on the strand for a reply or the end of the connection, on the
    // sweeping thread for a time-out. A negative time-out waits for ever.
    // Returns the call id. Arguments over their limits throw "size error".
    //   manager->call<bool, std::string>(1, 5000, on_login, std::string("secret"));
    template <typename... Results, typename... Arguments>
    std::uint64_t call(
        std::uint32_t method_id, std::int32_t timeout_ms,
        std::type_identity_t<std::function<void(call_status, Results...)>> completion,
        const Arguments&... arguments) {
        check_method(method_id, static_cast<bool>(completion));
        byte_buffer request = encode_request(method_id, no_call_id, arguments...);
        return send_request(std::move(request), std::make_unique<typed_pending_call<Results...>>(
                                                    timeout_ms, std::move(completion)));
    }

    // Queues a whole frame; frames leave one at a time, in the order queued.
    // Frames queued after close are dropped.
    void send_frame(byte_buffer frame);
    void send_error_reply(std::uint64_t call_id, call_status status);
    void send_keep_alive();

    // One second of the connection's clock: pending calls lose
    // sweep_interval_ms and those that run out complete with timed_out; every
    // 31st sweep sends a keep-alive; a peer silent for max_silent_sweeps is
    // closed.
    void sweep_calls();

    // Ends the connection: closes the socket and completes the pending calls
    // with connection_lost. closed() is true at once; the rest runs on the
    // strand.
    void close();
    bool closed() const { return closed_; }

    // Called once when the connection ends, whatever ended it. Set it before
    // the connection starts.
    void set_close_callback(std::function<void()> callback);

  private:
    static void check_method(std::uint32_t method_id, bool has_callback);
    std::uint64_t send_request(byte_buffer request, std::unique_ptr<pending_call> call);
    void queue_frame(byte_buffer frame, std::uint64_t call_id);
    void enqueue(byte_buffer frame, std::uint64_t call_id);
    static std::size_t queued_cost(const byte_buffer& frame) noexcept;
    void read_more();
    void on_read(const boost::system::error_code& error, std::size_t count);
    void dispatch_frame(const frame_view& frame);
    void complete_call(const frame_view& reply);
    void write_next();
    void on_write(const boost::system::error_code& error);
    std::unique_ptr<pending_call> take_call(std::uint64_t call_id);
    void end_connection();

    network_rpc_io transport_;
    std::atomic<bool> closed_{false};

    // Touched on the strand only.
    frame_reader reader_;
    std::deque<byte_buffer> write_queue_;
    std::size_t queued_bytes_ = 0;

    // Sweeps since the last whole frame from the peer.
    std::atomic<std::uint32_t> silent_sweeps_{0};

    // Guards what callers and sweeps share with the strand.
    std::mutex mutex_;
    std::map<std::uint32_t, std::shared_ptr<remote_call_handler>> handlers_;
    std::map<std::uint64_t, std::unique_ptr<pending_call>> pending_calls_;
    std::uint64_t next_call_id_ = 1;
    std::uint32_t idle_sweeps_ = 0;
    std::function<void()> close_callback_;
    bool close_notified_ = false;
};

}  // namespace rpc
