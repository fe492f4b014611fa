#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "foundation/amf0.hpp"
#include "foundation/buffer.hpp"
#include "foundation/light_string.hpp"

class rtmfp_session;
class rtmfp_in_flow;
class rtmfp_out_flow;
class rtmfp_out_flow_writer;

// Where the messages of a session's flows end: the NetConnection (stream 0),
// the NetGroup stream (0xFFFFFFFF) and NetStreams (other ids). In flows
// deliver to it; it writes into its first out flow.
//
// Every call is made under the session's processing mutex: on the thread
// that decodes the session's datagrams, or by code that holds the mutex.
// An exception thrown by a handler closes the session.
class rtmfp_netstream : public std::enable_shared_from_this<rtmfp_netstream> {
  public:
    static constexpr std::uint32_t netconnection_id = 0;
    static constexpr std::uint32_t netgroup_id = 0xFFFFFFFF;

    rtmfp_netstream(std::uint32_t stream_id, std::shared_ptr<rtmfp_session> session);
    virtual ~rtmfp_netstream();

    rtmfp_netstream(const rtmfp_netstream&) = delete;
    rtmfp_netstream& operator=(const rtmfp_netstream&) = delete;

    // `bytes` follow the message's type byte and time.
    virtual void on_audio(std::uint32_t time, const std::uint8_t* bytes, std::uint32_t length);
    virtual void on_video(std::uint32_t time, const std::uint8_t* bytes, std::uint32_t length);
    // `args` stands at the first argument after the command object, which is
    // an amf0_object or an amf0_null.
    virtual void on_command(buffer_reader& args, light_string name, double transaction_id,
                            amf0_based& command_object);
    // Any other message type; `message` stands after the type byte.
    virtual void on_data(std::int32_t kind, buffer_reader& message);
    // Drops the session and lets the flows go: the in flows stay in the
    // session without a stream, the out flows drain and remove themselves.
    virtual void close();

    std::uint32_t stream_id() const noexcept { return stream_id_; }
    // The option that opens the stream's out flows, its length byte first.
    const std::vector<std::uint8_t>& signature() const noexcept { return signature_; }
    // Empty once closed.
    const std::shared_ptr<rtmfp_session>& session() const noexcept { return session_; }
    bool closed() const noexcept { return closed_; }

    bool has_out_flow() const noexcept { return !out_flow_list_.empty(); }
    // The writer of the stream's first out flow with a new message begun, or
    // null when the stream has none. Write the message, then flush() it.
    rtmfp_out_flow_writer* begin_message();

    // 05 00 54 43 04 00 for the NetConnection, 03 00 47 43 for the NetGroup
    // stream, (k + 4) 00 54 43 04 VLU(id) for a NetStream, k being the
    // length of the VLU.
    static std::vector<std::uint8_t> signature_of(std::uint32_t stream_id);

  private:
    friend class rtmfp_in_flow;
    friend class rtmfp_out_flow;

    const std::uint32_t stream_id_;
    const std::vector<std::uint8_t> signature_;
    std::shared_ptr<rtmfp_session> session_;
    bool closed_ = false;
    std::set<rtmfp_in_flow*> in_flows_;
    std::set<rtmfp_out_flow*> out_flows_;
    // The same flows in the order they were bound.
    std::vector<rtmfp_out_flow*> out_flow_list_;
};
