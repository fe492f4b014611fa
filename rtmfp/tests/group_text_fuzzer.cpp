// Any text a client may send to name a group: the parser either refuses it
// (malformed text, or an option that runs past the end) or names a group
// whose identity is a prefix of the text. Nothing else may escape it.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "foundation/buffer.hpp"
#include "rtmfp/netgroups.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const rtmfp_group_specifier specifier = parse_group_specifier(text);
        if (specifier.identity.data() != text.data() || specifier.identity.size() > text.size() ||
            rtmfp_group_id(specifier).size() != 32) {
            std::abort();
        }
    } catch (const buffer_over_range& error) {
        if (std::string_view(error.what()) != "Buffer eof") {
            std::abort();
        }
    } catch (const std::runtime_error& error) {
        if (std::string_view(error.what()) != "Bad group spec format") {
            std::abort();
        }
    }
    return 0;
}
