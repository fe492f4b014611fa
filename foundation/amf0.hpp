#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "foundation/buffer.hpp"
#include "foundation/light_string.hpp"

// AMF0 values: the body of every command, status and data message of both
// servers and the metadata kept in recordings.
//
// Decoded strings and keys are light_string views into the decoded bytes,
// which must outlive the values; built values point to literals or to
// strings that outlive them. Containers own their values.
//
// Decoding errors: buffer_over_range "Buffer eof" on short input, and
// std::runtime_error "Too many items" (more than 65535 in one container),
// "Unknown AMF0 data type", "AMF data type not equal" (amf0_read_expected)
// and "AMF0 nesting too deep".

class amf0_decoder;

// Containers nested deeper than this are refused: nothing real comes close,
// and unbounded recursion would let one message exhaust a thread's stack.
inline constexpr unsigned amf0_max_nesting = 64;

class amf0_based {
  public:
    virtual ~amf0_based() = default;
    amf0_based(const amf0_based&) = delete;
    amf0_based& operator=(const amf0_based&) = delete;

    // The marker and the body.
    virtual void write(buffer_writer& out) const = 0;
    // The body only: the marker has been read already.
    virtual void read(buffer_reader& in) = 0;

    const std::uint8_t marker;

  protected:
    explicit amf0_based(std::uint8_t type) noexcept : marker(type) {}

  private:
    friend class amf0_decoder;
    // Containers read their values one level deeper.
    virtual void read_nested(buffer_reader& in, unsigned) { read(in); }
};

// Ordered by light_string's order, so objects are written shorter keys first.
using amf0_map = std::map<light_string, std::unique_ptr<amf0_based>>;

class amf0_number : public amf0_based {
  public:
    static constexpr std::uint8_t type_marker = 0;
    explicit amf0_number(double number = 0) noexcept : amf0_based(type_marker), value(number) {}
    void write(buffer_writer& out) const override;
    void read(buffer_reader& in) override;
    double value;
};

class amf0_bool : public amf0_based {
  public:
    static constexpr std::uint8_t type_marker = 1;
    explicit amf0_bool(bool flag = false) noexcept : amf0_based(type_marker), value(flag) {}
    void write(buffer_writer& out) const override;
    void read(buffer_reader& in) override;
    bool value;
};

// At most 65535 bytes: a longer text is an amf0_long_string, and writing one
// here throws std::length_error before anything is written.
class amf0_string : public amf0_based {
  public:
    static constexpr std::uint8_t type_marker = 2;
    explicit amf0_string(light_string text = {}) noexcept : amf0_based(type_marker), value(text) {}
    void write(buffer_writer& out) const override;
    void read(buffer_reader& in) override;
    light_string value;
};

// The key-value containers: a value given for a key that is already present
// is dropped and the first one kept, as on the wire.
class amf0_keyed : public amf0_based {
  public:
    // False (and the value dropped) when the key is present.
    bool insert(light_string key, std::unique_ptr<amf0_based> value);
    // The value of a key, or null.
    amf0_based* find(light_string key) const;

    amf0_map values;

  protected:
    using amf0_based::amf0_based;
    void write_entries(buffer_writer& out) const;
};

class amf0_object : public amf0_keyed {
  public:
    static constexpr std::uint8_t type_marker = 3;
    amf0_object() noexcept : amf0_keyed(type_marker) {}
    void write(buffer_writer& out) const override;
    void read(buffer_reader& in) override { read_nested(in, 0); }

  private:
    void read_nested(buffer_reader& in, unsigned depth) override;
};

// Written as a count and the pairs, without the object end.
class amf0_mixed_array : public amf0_keyed {
  public:
    static constexpr std::uint8_t type_marker = 8;
    amf0_mixed_array() noexcept : amf0_keyed(type_marker) {}
    void write(buffer_writer& out) const override;
    void read(buffer_reader& in) override { read_nested(in, 0); }

  private:
    void read_nested(buffer_reader& in, unsigned depth) override;
};

// A null slot stands for undefined (and for an object-end marker in the
// input); it is written as undefined.
class amf0_array : public amf0_based {
  public:
    static constexpr std::uint8_t type_marker = 10;
    amf0_array() noexcept : amf0_based(type_marker) {}
    void write(buffer_writer& out) const override;
    void read(buffer_reader& in) override { read_nested(in, 0); }

    std::vector<std::unique_ptr<amf0_based>> values;

  private:
    void read_nested(buffer_reader& in, unsigned depth) override;
};

// Values that are their marker alone.
class amf0_marker_only : public amf0_based {
  public:
    void write(buffer_writer& out) const override { out.write_u8(marker); }
    void read(buffer_reader&) override {}

  protected:
    using amf0_based::amf0_based;
};

class amf0_null : public amf0_marker_only {
  public:
    static constexpr std::uint8_t type_marker = 5;
    amf0_null() noexcept : amf0_marker_only(type_marker) {}
};

class amf0_undefined : public amf0_marker_only {
  public:
    static constexpr std::uint8_t type_marker = 6;
    amf0_undefined() noexcept : amf0_marker_only(type_marker) {}
};

class amf0_unsupport : public amf0_marker_only {
  public:
    static constexpr std::uint8_t type_marker = 13;
    amf0_unsupport() noexcept : amf0_marker_only(type_marker) {}
};

// Kept as a number: references are never resolved.
class amf0_reference : public amf0_based {
  public:
    static constexpr std::uint8_t type_marker = 7;
    explicit amf0_reference(std::uint16_t to = 0) noexcept : amf0_based(type_marker), index(to) {}
    void write(buffer_writer& out) const override;
    void read(buffer_reader& in) override;
    std::uint16_t index;
};

class amf0_date : public amf0_based {
  public:
    static constexpr std::uint8_t type_marker = 11;
    explicit amf0_date(double milliseconds = 0, std::int16_t zone = 0) noexcept
        : amf0_based(type_marker), ms(milliseconds), time_zone(zone) {}
    void write(buffer_writer& out) const override;
    void read(buffer_reader& in) override;
    double ms;  // since 1970
    std::int16_t time_zone;
};

// Text with a 32-bit length.
class amf0_long_text : public amf0_based {
  public:
    void write(buffer_writer& out) const override;
    void read(buffer_reader& in) override;
    light_string value;

  protected:
    amf0_long_text(std::uint8_t type, light_string text) noexcept : amf0_based(type), value(text) {}
};

class amf0_long_string : public amf0_long_text {
  public:
    static constexpr std::uint8_t type_marker = 12;
    explicit amf0_long_string(light_string text = {}) noexcept
        : amf0_long_text(type_marker, text) {}
};

class amf0_xml : public amf0_long_text {
  public:
    static constexpr std::uint8_t type_marker = 15;
    explicit amf0_xml(light_string text = {}) noexcept : amf0_long_text(type_marker, text) {}
};

// Decodes one value from its marker; the object-end marker (9) gives null.
std::unique_ptr<amf0_based> amf0_read_value(buffer_reader& in);

// Reads a value of exactly the type of `value` into it. On another marker
// the reader is left on that marker and "AMF data type not equal" thrown.
void amf0_read_expected(buffer_reader& in, amf0_based& value);

// One object property's key: its 16-bit length and its bytes.
void amf0_write_key(buffer_writer& out, light_string key);
void amf0_write_object_end(buffer_writer& out);

// Properties of status and result objects, written straight to the wire;
// the caller writes the object marker before and the object end after.
void amf0_write_level(buffer_writer& out, light_string text);
void amf0_write_code(buffer_writer& out, light_string text);
void amf0_write_description(buffer_writer& out, light_string text);
void amf0_write_fms_ver(buffer_writer& out, light_string text);
void amf0_write_object_encoding(buffer_writer& out, double encoding);
