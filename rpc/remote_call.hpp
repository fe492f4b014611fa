#pragma once

// The typed pieces of a remote call: the reply object a method answers
// through, the handler that decodes a request's arguments and calls the
// method, and the caller's side of a call waiting for its reply.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <utility>

#include "rpc/rpc_codec.hpp"
#include "rpc/rpc_frame.hpp"

namespace rpc {

class remote_call_mgr;

// Where a method's answer goes: the manager of the connection the request
// came on, and the request's call id. Holding the manager keeps the
// connection alive until the reply is sent, so a method may keep its reply
// and answer later.
class remote_call_reply {
  public:
    remote_call_reply(std::shared_ptr<remote_call_mgr> manager, std::uint64_t call_id)
        : manager_(std::move(manager)), call_id_(call_id) {}
    virtual ~remote_call_reply() = default;

    remote_call_reply(const remote_call_reply&) = default;
    remote_call_reply& operator=(const remote_call_reply&) = default;
    remote_call_reply(remote_call_reply&&) = default;
    remote_call_reply& operator=(remote_call_reply&&) = default;

    std::uint64_t call_id() const { return call_id_; }

    // The connection the request came on, for methods that change what the
    // connection may do (cast it to the server's connection class).
    const std::shared_ptr<remote_call_mgr>& manager() const { return manager_; }

  protected:
    void send(byte_buffer frame) const;

  private:
    std::shared_ptr<remote_call_mgr> manager_;
    std::uint64_t call_id_;
};

// The reply of a method with two results: a primary value and an error text.
// Call it once.
template <typename Result, typename Error = std::string>
class remote_call_reply2 : public remote_call_reply {
  public:
    using remote_call_reply::remote_call_reply;

    // Throws "size error" when a result is over its encoding's limit; nothing
    // is sent then.
    void operator()(const Result& result, const Error& error) const {
        send(encode_reply(call_id(), result, error));
    }
};

// The replies of the administration methods.
using bool_reply = remote_call_reply2<bool, std::string>;
using map_reply = remote_call_reply2<string_map, std::string>;
using map_vector_reply = remote_call_reply2<string_map_vector, std::string>;

// One registered method of a connection, owned by the connection's manager.
class remote_call_handler {
  public:
    remote_call_handler(remote_call_mgr& manager, std::uint32_t method_id)
        : manager_(manager), method_id_(method_id) {}
    virtual ~remote_call_handler() = default;

    remote_call_handler(const remote_call_handler&) = delete;
    remote_call_handler& operator=(const remote_call_handler&) = delete;

    std::uint32_t method_id() const { return method_id_; }

    // Serves one request. Throws when the arguments do not decode, so that
    // the caller is answered with bad_arguments; anything the method itself
    // throws is swallowed and no reply is sent.
    virtual void invoke(std::uint64_t call_id, const std::uint8_t* payload, std::size_t length) = 0;

  protected:
    std::shared_ptr<remote_call_mgr> shared_manager() const;

  private:
    remote_call_mgr& manager_;
    std::uint32_t method_id_;
};

// A method taking the reply object and the decoded arguments.
template <typename Reply, typename... Arguments>
class typed_remote_call_handler : public remote_call_handler {
  public:
    using callback_type = std::function<void(Reply, Arguments...)>;

    typed_remote_call_handler(remote_call_mgr& manager, std::uint32_t method_id,
                              callback_type callback)
        : remote_call_handler(manager, method_id), callback_(std::move(callback)) {}

    void invoke(std::uint64_t call_id, const std::uint8_t* payload, std::size_t length) override {
        auto arguments = decode_values<Arguments...>(payload, length);
        try {
            std::apply(
                [&](auto&... argument) {
                    callback_(Reply(shared_manager(), call_id), std::move(argument)...);
                },
                arguments);
        } catch (...) {
            // The method failed without answering; its caller times out.
        }
    }

  private:
    callback_type callback_;
};

template <typename Reply>
using remote_call_handler0 = typed_remote_call_handler<Reply>;
template <typename Reply, typename A1>
using remote_call_handler1 = typed_remote_call_handler<Reply, A1>;
template <typename Reply, typename A1, typename A2>
using remote_call_handler2 = typed_remote_call_handler<Reply, A1, A2>;
template <typename Reply, typename A1, typename A2, typename A3>
using remote_call_handler3 = typed_remote_call_handler<Reply, A1, A2, A3>;

// A call of this side waiting for the peer's reply.
class pending_call {
  public:
    // A negative time-out waits for ever.
    explicit pending_call(std::int32_t timeout_ms) : time_left_ms(timeout_ms) {}
    virtual ~pending_call() = default;

    pending_call(const pending_call&) = delete;
    pending_call& operator=(const pending_call&) = delete;

    // Completes without results (they are default values).
    virtual void complete(call_status status) = 0;

    // Completes with the results of a success reply, or with bad_reply when
    // they do not decode. Throws what the completion throws.
    virtual void complete_with(const std::uint8_t* payload, std::size_t length) = 0;

    std::int32_t time_left_ms;
};

template <typename... Results>
class typed_pending_call : public pending_call {
  public:
    using completion_type = std::function<void(call_status, Results...)>;

    typed_pending_call(std::int32_t timeout_ms, completion_type completion)
        : pending_call(timeout_ms), completion_(std::move(completion)) {}

    void complete(call_status status) override { finish(status, std::tuple<Results...>{}); }

    void complete_with(const std::uint8_t* payload, std::size_t length) override {
        std::tuple<Results...> results;
        try {
            results = decode_values<Results...>(payload, length);
        } catch (...) {
            complete(call_status::bad_reply);
            return;
        }
        finish(call_status::success, std::move(results));
    }

  private:
    void finish(call_status status, std::tuple<Results...> results) {
        std::apply([&](auto&... result) { completion_(status, std::move(result)...); }, results);
    }

    completion_type completion_;
};

}  // namespace rpc
