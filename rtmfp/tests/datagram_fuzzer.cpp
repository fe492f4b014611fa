// Feeds datagrams through the receive path twice: as they come (length
// rule, decryption and checksum with the default key) and sealed first, so
// that every input also reaches the header and chunk parsers. Each parsed
// chunk must write itself out to bytes that parse and write to the same
// bytes again, and every block must go back to the pool.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>

#include "rtmfp/pipe.hpp"

namespace {

class checking_pipe : public rtmfp_pipe {
  public:
    explicit checking_pipe(block_malloc& pool)
        : rtmfp_pipe(pool, nullptr, 0, 0, 0, rtmfp_default_key, rtmfp_default_key) {}

    bool tick() override { return true; }

  protected:
    void handle_command(rtmfp_command& command, const endpoint&) override {
        std::uint8_t first[2 * rtmfp_max_packet_size];
        rtmfp_packet_writer out(first, sizeof first);
        try {
            command.write(out);
        } catch (const std::out_of_range&) {
            // A number read from a four-byte VLU with its last continuation
            // bit set can be larger than any VLU the writer may produce.
            return;
        }
        rtmfp_packet_reader in(first, out.size);
        rtmfp_command_storage storage;
        const rtmfp_command* again = rtmfp_command::parse(in, storage);
        if (again == nullptr || again->type != command.type) {
            std::abort();
        }
        std::uint8_t second[sizeof first];
        rtmfp_packet_writer out_again(second, sizeof second);
        again->write(out_again);
        if (out_again.size != out.size || std::memcmp(first, second, out.size) != 0) {
            std::abort();
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static block_malloc pool(rtmfp_max_packet_size, 16);
    static const auto pipe = std::make_shared<checking_pipe>(pool);
    static rtmfp_cipher encrypt(rtmfp_default_key, rtmfp_cipher::direction::encrypt);
    const rtmfp_pipe::endpoint from;

    if (size <= rtmfp_max_packet_size) {
        block_buffer datagram(pool);
        std::memcpy(datagram.data(), data, size);
        datagram.set_size(static_cast<std::uint32_t>(size));
        try {
            pipe->decode_packet(std::move(datagram), from);
        } catch (const std::exception&) {
            // Malformed packets are refused.
        }
    }

    // The input as the plain packet from the marker on.
    if (size <= rtmfp_max_packet_size - rtmfp_marker_offset) {
        block_buffer packet(pool);
        rtmfp_packet_writer out(packet.data(), rtmfp_max_packet_size);
        out.fill(0, rtmfp_marker_offset);
        out.write_bytes({data, size});
        rtmfp_pad_packet(out);
        rtmfp_seal_packet(packet.data(), out.size, 0, encrypt);
        packet.set_size(out.size);
        try {
            if (!pipe->decode_packet(std::move(packet), from)) {
                std::abort();  // a packet sealed with the right key passes
            }
        } catch (const std::exception&) {
        }
    }

    if (pool.outstanding() != 0) {
        std::abort();
    }
    return 0;
}
