// Feeds arbitrary bytes through the frame reader, in reads of sizes taken
// from the input, and decodes every frame's payload as each argument list the
// administration methods use. Whatever decodes must encode and decode again to
// the same values; whatever does not must fail with the codec's own errors.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "rpc/rpc_codec.hpp"
#include "rpc/rpc_frame.hpp"

namespace {

using namespace rpc;

template <typename... Values>
void check_decoding(const std::uint8_t* payload, std::size_t length) {
    std::tuple<Values...> values;
    try {
        values = decode_values<Values...>(payload, length);
    } catch (const std::runtime_error& error) {
        const std::string message = error.what();
        if (message != "stream error" && message != "parameter error") {
            std::abort();
        }
        return;
    }
    byte_buffer encoded;
    std::apply([&](const auto&... value) { append_values(encoded, value...); }, values);
    // Repeated map keys shrink the encoding; nothing may grow it.
    if (encoded.size() > length) {
        std::abort();
    }
    if (values != decode_values<Values...>(encoded.data(), encoded.size())) {
        std::abort();
    }
}

void check_payload(const std::uint8_t* payload, std::size_t length) {
    check_decoding<>(payload, length);
    check_decoding<std::string>(payload, length);
    check_decoding<std::int32_t, std::string, string_map>(payload, length);
    check_decoding<std::string, string_map>(payload, length);
    check_decoding<std::string, bool>(payload, length);
    check_decoding<std::string, bool, std::uint32_t>(payload, length);
    check_decoding<std::string, std::string>(payload, length);
    check_decoding<bool, std::string>(payload, length);
    check_decoding<string_map, std::string>(payload, length);
    check_decoding<string_map_vector, std::string>(payload, length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    // The first byte sets the largest read; small payload limits let the
    // size check fire often.
    const std::size_t read_limit = data[0] % 64 + 1;
    const std::uint32_t max_payload_length = data[0] < 128 ? 0xFFFF : 64;
    ++data;
    --size;

    frame_reader reader(16, max_payload_length);
    std::size_t offset = 0;
    std::size_t frames_bytes = 0;
    try {
        while (offset < size) {
            const std::span<std::uint8_t> room = reader.prepare();
            if (room.empty()) {
                std::abort();
            }
            const std::size_t count = std::min({read_limit, room.size(), size - offset});
            std::memcpy(room.data(), data + offset, count);
            reader.commit(count);
            offset += count;
            while (const auto frame = reader.next()) {
                // Frames are handed out whole and back to back.
                const std::size_t frame_size = frame_header_size + frame->header.payload_length;
                if (frame->header.payload_length > max_payload_length ||
                    frames_bytes + frame_size > offset ||
                    std::memcmp(frame->payload - frame_header_size, data + frames_bytes,
                                frame_size) != 0) {
                    std::abort();
                }
                frames_bytes += frame_size;
                check_payload(frame->payload, frame->header.payload_length);
            }
        }
    } catch (const frame_size_error&) {
    }
    return 0;
}
