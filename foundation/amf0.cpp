#include "foundation/amf0.hpp"

#include <algorithm>
#include <stdexcept>

namespace {

constexpr std::uint8_t object_end_marker = 9;
constexpr std::uint32_t max_items = 65535;

[[noreturn]] void too_many_items() {
    throw std::runtime_error("Too many items");
}

// An array's count, refused before anything else when it is too large.
std::uint32_t read_count(buffer_reader& in) {
    const std::uint32_t count = in.read_u32_be();
    if (count > max_items) {
        too_many_items();
    }
    return count;
}

light_string read_key(buffer_reader& in) {
    return in.read_light_string(in.read_u16_be());
}

void write_short_text(buffer_writer& out, light_string text) {
    out.write_u16_be(static_cast<std::uint16_t>(text.size));
    out.write_light_string(text);
}

void check_short_text(light_string text) {
    // A length that disagreed with the bytes would desynchronise the peer.
    if (text.size > 0xFFFF) {
        throw std::length_error("AMF0 string too long");
    }
}

void write_value(buffer_writer& out, const std::unique_ptr<amf0_based>& value) {
    if (value) {
        value->write(out);
    } else {
        out.write_u8(amf0_undefined::type_marker);
    }
}

}  // namespace

class amf0_decoder {
  public:
    static std::unique_ptr<amf0_based> read_value(buffer_reader& in, unsigned depth) {
        if (depth >= amf0_max_nesting) {
            throw std::runtime_error("AMF0 nesting too deep");
        }
        std::unique_ptr<amf0_based> value = make(in.read_u8());
        if (value) {
            value->read_nested(in, depth);
        }
        return value;
    }

  private:
    static std::unique_ptr<amf0_based> make(std::uint8_t marker) {
        switch (marker) {
            case amf0_number::type_marker:
                return std::make_unique<amf0_number>();
            case amf0_bool::type_marker:
                return std::make_unique<amf0_bool>();
            case amf0_string::type_marker:
                return std::make_unique<amf0_string>();
            case amf0_object::type_marker:
                return std::make_unique<amf0_object>();
            case amf0_null::type_marker:
                return std::make_unique<amf0_null>();
            case amf0_undefined::type_marker:
                return std::make_unique<amf0_undefined>();
            case amf0_reference::type_marker:
                return std::make_unique<amf0_reference>();
            case amf0_mixed_array::type_marker:
                return std::make_unique<amf0_mixed_array>();
            case object_end_marker:
                return nullptr;
            case amf0_array::type_marker:
                return std::make_unique<amf0_array>();
            case amf0_date::type_marker:
                return std::make_unique<amf0_date>();
            case amf0_long_string::type_marker:
                return std::make_unique<amf0_long_string>();
            case amf0_unsupport::type_marker:
                return std::make_unique<amf0_unsupport>();
            case amf0_xml::type_marker:
                return std::make_unique<amf0_xml>();
            default:
                throw std::runtime_error("Unknown AMF0 data type");
        }
    }
};

void amf0_number::write(buffer_writer& out) const {
    out.write_u8(marker);
    out.write_double_be(value);
}

void amf0_number::read(buffer_reader& in) {
    value = in.read_double_be();
}

void amf0_bool::write(buffer_writer& out) const {
    out.write_u8(marker);
    out.write_u8(value ? 1 : 0);
}

void amf0_bool::read(buffer_reader& in) {
    value = in.read_u8() != 0;
}

void amf0_string::write(buffer_writer& out) const {
    check_short_text(value);
    out.write_u8(marker);
    write_short_text(out, value);
}

void amf0_string::read(buffer_reader& in) {
    value = read_key(in);
}

bool amf0_keyed::insert(light_string key, std::unique_ptr<amf0_based> value) {
    return values.try_emplace(key, std::move(value)).second;
}

amf0_based* amf0_keyed::find(light_string key) const {
    auto found = values.find(key);
    return found == values.end() ? nullptr : found->second.get();
}

void amf0_keyed::write_entries(buffer_writer& out) const {
    for (const auto& [key, value] : values) {
        amf0_write_key(out, key);
        write_value(out, value);
    }
}

void amf0_object::write(buffer_writer& out) const {
    out.write_u8(marker);
    write_entries(out);
    amf0_write_object_end(out);
}

void amf0_object::read_nested(buffer_reader& in, unsigned depth) {
    values.clear();
    std::uint32_t items = 0;
    while (in.remaining() >= 2) {
        const light_string key = read_key(in);
        auto value = amf0_decoder::read_value(in, depth + 1);
        if (!value) {
            return;
        }
        insert(key, std::move(value));
        // Duplicates count too: they cost the decoder as much as new keys.
        if (++items > max_items) {
            too_many_items();
        }
    }
    throw buffer_over_range("Buffer eof");
}

void amf0_mixed_array::write(buffer_writer& out) const {
    out.write_u8(marker);
    out.write_u32_be(static_cast<std::uint32_t>(values.size()));
    write_entries(out);
}

void amf0_mixed_array::read_nested(buffer_reader& in, unsigned depth) {
    values.clear();
    const std::uint32_t count = read_count(in);
    // Exactly `count` pairs: an object end that a peer appends after them is
    // left to the caller.
    for (std::uint32_t i = 0; i < count; ++i) {
        const light_string key = read_key(in);
        if (auto value = amf0_decoder::read_value(in, depth + 1)) {
            insert(key, std::move(value));
        }
    }
}

void amf0_array::write(buffer_writer& out) const {
    out.write_u8(marker);
    out.write_u32_be(static_cast<std::uint32_t>(values.size()));
    for (const auto& value : values) {
        write_value(out, value);
    }
}

void amf0_array::read_nested(buffer_reader& in, unsigned depth) {
    values.clear();
    const std::uint32_t count = read_count(in);
    // Every element takes at least one byte: a count the input cannot hold
    // must not reserve memory for it.
    values.reserve(std::min(count, in.remaining()));
    for (std::uint32_t i = 0; i < count; ++i) {
        auto value = amf0_decoder::read_value(in, depth + 1);
        if (value && value->marker == amf0_undefined::type_marker) {
            value.reset();
        }
        values.push_back(std::move(value));
    }
}

void amf0_reference::write(buffer_writer& out) const {
    out.write_u8(marker);
    out.write_u16_be(index);
}

void amf0_reference::read(buffer_reader& in) {
    index = in.read_u16_be();
}

void amf0_date::write(buffer_writer& out) const {
    out.write_u8(marker);
    out.write_double_be(ms);
    out.write_u16_be(static_cast<std::uint16_t>(time_zone));
}

void amf0_date::read(buffer_reader& in) {
    ms = in.read_double_be();
    time_zone = static_cast<std::int16_t>(in.read_u16_be());
}

void amf0_long_text::write(buffer_writer& out) const {
    out.write_u8(marker);
    out.write_u32_be(value.size);
    out.write_light_string(value);
}

void amf0_long_text::read(buffer_reader& in) {
    value = in.read_light_string(in.read_u32_be());
}

std::unique_ptr<amf0_based> amf0_read_value(buffer_reader& in) {
    return amf0_decoder::read_value(in, 0);
}

void amf0_read_expected(buffer_reader& in, amf0_based& value) {
    const std::uint32_t at = in.pos;
    if (in.read_u8() != value.marker) {
        in.pos = at;
        throw std::runtime_error("AMF data type not equal");
    }
    value.read(in);
}

void amf0_write_key(buffer_writer& out, light_string key) {
    check_short_text(key);
    write_short_text(out, key);
}

void amf0_write_object_end(buffer_writer& out) {
    out.write_u16_be(0);
    out.write_u8(object_end_marker);
}

namespace {

void write_text_property(buffer_writer& out, light_string key, light_string text) {
    amf0_write_key(out, key);
    amf0_string(text).write(out);
}

}  // namespace

void amf0_write_level(buffer_writer& out, light_string text) {
    write_text_property(out, "level", text);
}

void amf0_write_code(buffer_writer& out, light_string text) {
    write_text_property(out, "code", text);
}

void amf0_write_description(buffer_writer& out, light_string text) {
    write_text_property(out, "description", text);
}

void amf0_write_fms_ver(buffer_writer& out, light_string text) {
    write_text_property(out, "fmsVer", text);
}

void amf0_write_object_encoding(buffer_writer& out, double encoding) {
    amf0_write_key(out, "objectEncoding");
    amf0_number(encoding).write(out);
}
