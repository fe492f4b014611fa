#pragma once

#include "foundation/amf0.hpp"
#include "foundation/buffer.hpp"

namespace rtmp {

// Command and data message arguments: the next value must be of the given
// type, or the read throws "AMF data type not equal" (or "Buffer eof").

// The value of an amf0_string, amf0_number or amf0_bool.
template <class Value>
auto read_amf0(buffer_reader& in) {
    Value value;
    amf0_read_expected(in, value);
    return value.value;
}

inline void read_amf0_null(buffer_reader& in) {
    amf0_null value;
    amf0_read_expected(in, value);
}

}  // namespace rtmp
