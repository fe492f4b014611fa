#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "foundation/light_string.hpp"

// The byte cursors through which every wire and file format is read and
// written: RTMP, RTMFP, FLV, the segment format. Numbers are big-endian
// unless a name says otherwise. Code that has checked the bound of a
// fixed-size header itself reads and writes its numbers with Boost.Endian
// (boost::endian::load_big_u24, store_big_u32 ...), as these cursors do.

// Every bounds failure of the byte buffers: "Buffer eof", "Seeking out of
// range" or "Write buffer overflow", or the texts a format names for them
// (RTMFP's "Packet eof" and "Buffer overflow").
class buffer_over_range : public std::out_of_range {
  public:
    using std::out_of_range::out_of_range;
};

// A read cursor over bytes it does not own. Every read checks its bound
// first and leaves `pos` where it was when the bytes are not there, so a
// caller may report the message as a protocol error and go on.
class buffer_reader {
  public:
    buffer_reader(const void* bytes, std::uint32_t length) noexcept
        : data(static_cast<const std::uint8_t*>(bytes)), size(length) {}
    explicit buffer_reader(std::string_view bytes);
    // The reader would outlive the bytes.
    buffer_reader(std::string&&) = delete;

    std::uint8_t read_u8();
    std::uint16_t read_u16_be();
    std::uint32_t read_u24_be();
    std::uint32_t read_u32_be();
    // Little-endian, as the segment index stores its numbers.
    std::uint32_t read_u32();
    double read_double_be();
    // Replaces `target` with the next n bytes.
    void read_string(std::uint32_t n, std::string& target);
    // A view of the next n bytes; it lives as long as the reader's storage.
    light_string read_light_string(std::uint32_t n);
    std::span<const std::uint8_t> read_bytes(std::uint32_t n);
    // The next byte without consuming it (the marker of an optional value).
    std::uint8_t peek_u8() const;
    // Throws "Seeking out of range" rather than "Buffer eof".
    void skip(std::uint32_t n);

    std::uint32_t remaining() const noexcept { return pos < size ? size - pos : 0; }

    // Open to owners, which keep a position to come back to.
    const std::uint8_t* data;
    std::uint32_t size;
    std::uint32_t pos = 0;

  protected:
    // For a format whose reads past the end throw `eof` instead of "Buffer
    // eof".
    buffer_reader(const void* bytes, std::uint32_t length, const char* eof) noexcept
        : data(static_cast<const std::uint8_t*>(bytes)), size(length), eof_(eof) {}

    [[noreturn]] void throw_eof() const;

  private:
    const std::uint8_t* take(std::uint32_t n);

    const char* eof_ = "Buffer eof";
};

// A write cursor over storage that a derived class may grow. `size` is the
// high-water mark of `pos`, i.e. the length of the output; an owner may move
// `pos` back to patch a field written earlier without shortening it.
//
// The base class writes into fixed storage and refuses to grow ("Write buffer
// overflow"); bytes that fitted before the refusal stay written.
class buffer_writer {
  public:
    buffer_writer() noexcept = default;
    buffer_writer(void* storage, std::uint32_t length) noexcept
        : data(static_cast<std::uint8_t*>(storage)), capacity(length) {}
    virtual ~buffer_writer() = default;

    buffer_writer(const buffer_writer&) = delete;
    buffer_writer& operator=(const buffer_writer&) = delete;

    void write_u8(std::uint8_t value);
    void write_u16_be(std::uint16_t value);
    void write_u24_be(std::uint32_t value);
    // Little-endian, as the segment index stores its numbers.
    void write_u32(std::uint32_t value);
    void write_u32_be(std::uint32_t value);
    void write_double_be(double value);
    // The bytes alone: no length prefix, no terminator.
    void write_string(std::string_view bytes);
    void write_light_string(light_string bytes);
    void write_bytes(const void* bytes, std::uint32_t n);

    // Open to owners, which read the output from `data`/`size` and move
    // `pos` back to rewrite a length written before its content.
    std::uint8_t* data = nullptr;
    std::uint32_t capacity = 0;
    std::uint32_t size = 0;
    std::uint32_t pos = 0;

    // The bytes that fit before the writer must grow.
    std::uint32_t room() const noexcept { return pos < capacity ? capacity - pos : 0; }

  protected:
    // For a format whose writer refuses to grow with `overflow` instead of
    // "Write buffer overflow".
    buffer_writer(void* storage, std::uint32_t length, const char* overflow) noexcept
        : data(static_cast<std::uint8_t*>(storage)), capacity(length), overflow_(overflow) {}

    // Called when a write would pass `capacity`, with the capacity the write
    // needs (`pos` plus the bytes still to write). An override may also move
    // `data` and `pos` (a writer that cuts its output into blocks does);
    // writing goes on at the new `pos`.
    virtual void grow(std::uint32_t needed);

    [[noreturn]] void throw_overflow() const;

  private:
    std::uint32_t end_of(std::uint32_t n) const;
    std::uint8_t* reserve(std::uint32_t n);
    void advance(std::uint32_t n) noexcept;

    const char* overflow_ = "Write buffer overflow";
};

// A writer over heap storage that it owns: 1024 bytes at first, grown to
// exactly the capacity a write needs. Allocation failure throws
// std::bad_alloc ("bad allocation") and leaves the old storage in place.
class own_buffer_writer : public buffer_writer {
  public:
    own_buffer_writer();
    ~own_buffer_writer() override;

  protected:
    void grow(std::uint32_t needed) override;
};
