#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "foundation/amf0.hpp"

// Whether a data message is an "onMetaData" one: the AMF0 string
// "onMetaData" and something after it.
bool is_metadata_message(std::string_view message) noexcept;

// A recording's "onMetaData" data message, decoded: the message name and its
// properties, held as the AMF0 type they came in, an object or the mixed
// (ECMA) array that most encoders send. Decoded texts point into the
// message's bytes, which must outlive this.
class decoded_metadata {
  public:
    // Throws the AMF0 decoder's errors; "AMF data type not equal" when the
    // bytes are not a string followed by an object or a mixed array.
    explicit decoded_metadata(std::string_view message);

    amf0_keyed& properties() noexcept { return *properties_; }
    const amf0_keyed& properties() const noexcept { return *properties_; }

    // The message again: the name, then the properties as the type they came
    // in; a mixed array keeps the object end that closed it.
    std::string encode() const;

  private:
    void read_mixed_array(buffer_reader& in);

    amf0_string name_;
    std::unique_ptr<amf0_keyed> properties_;
    bool closed_by_object_end_ = false;
};
