// Loads whatever arrives as an index file, then checks that what loads saves
// to bytes that load back to the same record, and that lookups and the
// metadata rewrite cope with any record that loads.
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include "foundation/segment_index.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    segment_index index;
    try {
        index = segment_index::decode(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const std::exception&) {
        return 0;
    }
    const std::string saved = index.encode();
    const std::string again = segment_index::decode(saved).encode();
    if (again != saved) {
        std::abort();
    }
    for (const auto& segment : index.segments) {
        index.find_segment(segment.start_ms);
    }
    index.set_metadata_duration();
    return 0;
}
