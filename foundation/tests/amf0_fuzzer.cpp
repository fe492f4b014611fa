// Decodes whatever arrives as a run of AMF0 values, as a command message is
// read, and checks that what decodes re-encodes to bytes that decode to the
// same encoding again.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

#include "foundation/amf0.hpp"

namespace {

void check_stable(const amf0_based& value) {
    own_buffer_writer first;
    value.write(first);
    buffer_reader in(first.data, first.size);
    auto again = amf0_read_value(in);
    if (!again || in.remaining() != 0) {
        std::abort();
    }
    own_buffer_writer second;
    again->write(second);
    if (second.size != first.size || std::memcmp(first.data, second.data, first.size) != 0) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    buffer_reader in(data, static_cast<std::uint32_t>(size));
    std::vector<std::unique_ptr<amf0_based>> values;
    try {
        while (in.remaining() != 0) {
            if (auto value = amf0_read_value(in)) {
                values.push_back(std::move(value));
            }
        }
    } catch (const std::exception&) {
        // Refused input; what was decoded before it is still checked.
    }
    for (const auto& value : values) {
        check_stable(*value);
    }
    return 0;
}
