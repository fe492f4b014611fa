#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "rtmp/rtmp_server_stack.hpp"
#include "rtmp/tests/rtmp_test_support.hpp"

namespace rtmp_test {

// A stack past its handshake, driven by our own client: commands go in as
// chunks, replies come out decoded and described.
struct stack_client {
    capture_owner owner;
    rtmp::rtmp_server_stack stack{owner.callbacks};
    chunk_decoder decoder;
    std::vector<std::string> log;

    stack_client() {
        feed(plain_c0c1());
        owner.take();
        feed(std::string(1536, 'c'));
    }

    void feed(const std::string& bytes) {
        stack.on_data(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                      static_cast<std::uint32_t>(bytes.size()));
    }

    void send(std::uint32_t stream_id, std::string_view body, std::uint8_t type = 20,
              std::uint32_t timestamp = 0) {
        feed(encode_message(3, type, stream_id, timestamp, body));
    }

    std::vector<std::string> replies() {
        decoder.feed(owner.take());
        std::vector<std::string> out;
        for (const auto& m : decoder.messages) {
            out.push_back(describe(m));
        }
        decoder.messages.clear();
        return out;
    }

    std::uint32_t create_stream() {
        send(0, command("createStream", 2).null());
        const auto reply = replies();
        if (reply.size() != 1 || reply[0].rfind("3:0 cmd '_result' 2 null ", 0) != 0) {
            return 0;
        }
        return static_cast<std::uint32_t>(std::stoul(reply[0].substr(25)));
    }

    std::string error_of(std::string_view body, std::uint32_t stream_id = 0,
                         std::uint8_t type = 20) {
        try {
            send(stream_id, body, type);
        } catch (const std::exception& e) {
            return e.what();
        }
        return "accepted";
    }
};

}  // namespace rtmp_test
