#include "foundation/decoded_metadata.hpp"

#include <stdexcept>

namespace {

using namespace std::string_view_literals;

constexpr std::string_view metadata_name = "\x02\x00\x0AonMetaData"sv;

// As many properties as any other AMF0 container may hold.
constexpr std::uint32_t max_properties = 0xFFFF;

bool object_end_follows(const buffer_reader& in) {
    return in.remaining() >= 3 && in.data[in.pos] == 0 && in.data[in.pos + 1] == 0 &&
           in.data[in.pos + 2] == 9;
}

}  // namespace

bool is_metadata_message(std::string_view message) noexcept {
    return message.size() > metadata_name.size() && message.starts_with(metadata_name);
}

decoded_metadata::decoded_metadata(std::string_view message) {
    buffer_reader in(message);
    amf0_read_expected(in, name_);
    if (in.remaining() != 0 && in.peek_u8() == amf0_mixed_array::type_marker) {
        in.read_u8();
        read_mixed_array(in);
    } else {
        auto object = std::make_unique<amf0_object>();
        amf0_read_expected(in, *object);
        properties_ = std::move(object);
    }
}

// Encoders close a mixed array with an object end and readers such as
// ffmpeg's go by it, while its count is only a hint that some encoders get
// wrong: the pairs are read up to the object end (or the message's end).
void decoded_metadata::read_mixed_array(buffer_reader& in) {
    auto array = std::make_unique<amf0_mixed_array>();
    in.read_u32_be();
    std::uint32_t items = 0;
    while (in.remaining() != 0) {
        if (object_end_follows(in)) {
            in.skip(3);
            closed_by_object_end_ = true;
            break;
        }
        const light_string key = in.read_light_string(in.read_u16_be());
        auto value = amf0_read_value(in);
        if (!value) {
            throw std::runtime_error("AMF data type not equal");
        }
        array->insert(key, std::move(value));
        if (++items > max_properties) {
            throw std::runtime_error("Too many items");
        }
    }
    properties_ = std::move(array);
}

std::string decoded_metadata::encode() const {
    own_buffer_writer out;
    name_.write(out);
    properties_->write(out);
    if (closed_by_object_end_) {
        amf0_write_object_end(out);
    }
    return {reinterpret_cast<const char*>(out.data), out.size};
}
