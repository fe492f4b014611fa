#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "rtmfp/tests/test_client.hpp"

namespace rtmfp_test {

// A fuzzer's input read as steps: past its end every read gives zeros (or
// nothing), so that any input is a whole list of steps.
class fuzz_input {
  public:
    fuzz_input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }
    std::uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t u16() {
        const std::uint16_t high = u8();
        return static_cast<std::uint16_t>(high << 8 | u8());
    }
    // At most n bytes.
    bytes take(std::size_t n) {
        n = std::min(n, size_ - std::min(pos_, size_));
        bytes out(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return out;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace rtmfp_test
