#pragma once

// How the RTMFP server calls the application: rtmfp_server_handler decides
// on connections and hears of sessions ending; rtmfp_connection_handler,
// one per session, hears of its streams and calls and names its NetGroups.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include "foundation/amf0.hpp"
#include "foundation/buffer.hpp"
#include "foundation/light_string.hpp"

class rtmfp_server_session;
class rtmfp_netstream;

// Registered with the server before it starts; called on the thread that
// decodes the session's datagram, under the session's processing mutex, so
// it must not block.
class rtmfp_server_handler {
  public:
    virtual ~rtmfp_server_handler() = default;

    // A client connects with the connect command object; `args` stands
    // after it. False refuses the connection (the session closes). The
    // application adds its connection handler to the session here.
    virtual bool on_connect(const std::shared_ptr<rtmfp_server_session>& session,
                            amf0_object& command, buffer_reader& args) = 0;
    // The session is closing, whether it connected or not.
    virtual void on_disconnect(const std::shared_ptr<rtmfp_server_session>& session) = 0;
};

// Owned by its session; called under the session's processing mutex.
class rtmfp_connection_handler {
  public:
    virtual ~rtmfp_connection_handler() = default;

    virtual void on_stream_created(const std::shared_ptr<rtmfp_netstream>& stream) = 0;
    // Before the stream closes.
    virtual void on_stream_deleted(const std::shared_ptr<rtmfp_netstream>& stream) = 0;
    // The key under which members of a NetGroup meet; it comes in equal to
    // the group id. False refuses the join.
    virtual bool resolve_group_name(const std::string& group_id, std::string& group_key) = 0;
    // A NetConnection call the server does not answer itself. False stops
    // the handlers after this one.
    virtual bool on_call(light_string name, double transaction_id, amf0_based& command_object,
                         buffer_reader& args) = 0;
};

// Handlers under priority keys: visited in ascending key order and, within
// a key, in the order they were added.
template <class Handler, class Holder = std::unique_ptr<Handler>>
class rtmfp_handler_chain {
  public:
    void add(std::int32_t key, Holder handler) { chain_[key].push_back(std::move(handler)); }
    bool empty() const noexcept { return chain_.empty(); }

    // Calls `visit` on each handler until one returns false; false then,
    // true when all agreed (or there are none).
    template <class Visit>
    bool run_until_refused(Visit&& visit) const {
        for (const auto& [key, handlers] : chain_) {
            for (const Holder& handler : handlers) {
                if (!visit(*handler)) {
                    return false;
                }
            }
        }
        return true;
    }

    template <class Visit>
    void run_all(Visit&& visit) const {
        run_until_refused([&](Handler& handler) {
            visit(handler);
            return true;
        });
    }

  private:
    std::map<std::int32_t, std::deque<Holder>> chain_;
};
