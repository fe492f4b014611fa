// Feeds arbitrary bytes to the connection's input path, cut into reads of a
// size the first byte chooses.
//
// Odd first byte: the whole stack (handshake, chunk layer, commands); with
// bit 1 set too, the handshake is done before the input comes.
// Even first byte: the chunk layer alone. Every media-type message it hands
// on is written back out through the chunk writer, and what was written must
// parse back to exactly the same messages.
//
// Either way unfinished messages draw on a small server budget, and all they
// held comes back once the connection is done.
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "foundation/block_pool.hpp"
#include "rtmp/rtmp_chunkstreams.hpp"
#include "rtmp/rtmp_server_stack.hpp"

namespace {

struct sink {
    block_malloc_array pool;
    std::string out;
    // Small, so that unfinished messages reach the server's bound too.
    rtmp::pending_message_budget budget{rtmp::rtmp_chunkstreams::max_message_size};
    rtmp::connection_callbacks callbacks{
        [this](rtmp::output_item& item) {
            item.for_each_run([this](const std::uint8_t* data, std::uint32_t size) {
                out.append(reinterpret_cast<const char*>(data), size);
            });
            item.reset();
            return true;
        },
        [this](unsigned exponent) { return pool(exponent); }, &budget};
};

struct message {
    std::uint8_t type;
    std::uint32_t stream_id, timestamp;
    std::string body;
    bool operator==(const message&) const = default;
};

// A message handler that appends each message to `to`.
auto recorder(std::vector<message>& to) {
    return [&to](const std::uint8_t* body, std::uint32_t length, std::uint32_t timestamp,
                 std::uint8_t type, std::uint32_t stream_id) {
        to.push_back(
            {type, stream_id, timestamp, std::string(reinterpret_cast<const char*>(body), length)});
    };
}

template <class Feed>
void feed_in_pieces(const std::uint8_t* data, std::size_t size, std::size_t piece, Feed feed) {
    try {
        for (std::size_t at = 0; at < size; at += piece) {
            const std::size_t n = size - at < piece ? size - at : piece;
            feed(data + at, static_cast<std::uint32_t>(n));
        }
    } catch (const std::exception&) {
        // A refused stream ends the connection; what came before stands.
    }
}

// With `skip_handshake`, a plain handshake goes first, so that the input
// reaches the commands at once.
void fuzz_stack(const std::uint8_t* data, std::size_t size, std::size_t piece,
                bool skip_handshake) {
    sink output;
    rtmp::rtmp_server_stack stack(output.callbacks);
    stack.connect_handler = [](amf0_object& command, std::string&) {
        return command.find("app") != nullptr;
    };
    stack.netstream_created_handler = [](rtmp::rtmp_server_netstream* stream) {
        stream->play_handler = [](light_string name, double, double, bool) {
            return name.size % 2 == 0;
        };
        stream->publish_handler = [](light_string name, light_string) {
            return name.size % 2 == 0;
        };
        stream->seek_handler = [](double ms) { return ms > 0; };
    };
    if (skip_handshake) {
        std::vector<std::uint8_t> c0c1(rtmp::rtmp_handshake::c0c1_size);
        std::vector<std::uint8_t> c2(rtmp::rtmp_handshake::packet_size);
        stack.on_data(c0c1.data(), static_cast<std::uint32_t>(c0c1.size()));
        stack.on_data(c2.data(), static_cast<std::uint32_t>(c2.size()));
    }
    feed_in_pieces(data, size, piece,
                   [&](const std::uint8_t* bytes, std::uint32_t n) { stack.on_data(bytes, n); });
    stack.close();
    if (output.budget.used() != 0) {
        std::abort();  // a closed connection holds no unfinished messages
    }
}

void fuzz_chunks(const std::uint8_t* data, std::size_t size, std::size_t piece) {
    sink echo;
    std::vector<message> echoed;
    rtmp::rtmp_chunkstreams input(echo.callbacks, 0);
    input.message_handler = [&, record = recorder(echoed)](
                                const std::uint8_t* body, std::uint32_t length,
                                std::uint32_t timestamp, std::uint8_t type,
                                std::uint32_t stream_id) {
        if (type < 7) {
            return;  // control types would steer the parser that reads the echo
        }
        record(body, length, timestamp, type, stream_id);
        input.write_message(input.open_output_stream(3 + type % 4), type, stream_id, timestamp,
                            body, length);
    };
    feed_in_pieces(data, size, piece,
                   [&](const std::uint8_t* bytes, std::uint32_t n) { input.on_data(bytes, n); });
    input.flush();
    input.drop_unfinished();
    if (echo.budget.used() != 0 || input.pending_bytes() != 0) {
        std::abort();  // what unfinished messages held must all come back
    }

    sink unused;
    std::vector<message> parsed;
    rtmp::rtmp_chunkstreams reader(unused.callbacks, 0);
    reader.message_handler = recorder(parsed);
    try {
        reader.on_data(reinterpret_cast<const std::uint8_t*>(echo.out.data()),
                       static_cast<std::uint32_t>(echo.out.size()));
    } catch (const std::exception&) {
        std::abort();  // our own output must always parse
    }
    if (parsed != echoed) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint8_t mode = data[0];
    const std::size_t piece = 1 + (mode >> 2) * 73;
    if (mode & 1) {
        fuzz_stack(data + 1, size - 1, piece, mode & 2);
    } else {
        fuzz_chunks(data + 1, size - 1, piece);
    }
    return 0;
}
