#include "rtmp/output_item.hpp"

#include <memory>
#include <utility>

namespace rtmp {

namespace {

// Gives a small_vector back its inline room when it lost it.
template <class Vector>
void renew_if_stripped(Vector& v) noexcept {
    if (v.capacity() < Vector::static_capacity) {
        std::destroy_at(&v);
        std::construct_at(&v);
    }
}

}  // namespace

output_item::output_item(output_item&& other) noexcept {
    take(other);
}

output_item& output_item::operator=(output_item&& other) noexcept {
    if (this != &other) {
        reset();
        renew_if_stripped(spans_);
        renew_if_stripped(owners_);
        take(other);
    }
    return *this;
}

void output_item::take(output_item& other) noexcept {
    block_ = std::move(other.block_);
    spans_ = std::move(other.spans_);
    owners_ = std::move(other.owners_);
    size_ = std::exchange(other.size_, 0);
    limit_ = std::exchange(other.limit_, 0);
    other.spans_.clear();
    other.owners_.clear();
    renew_if_stripped(other.spans_);
    renew_if_stripped(other.owners_);
}

// GCC 12 takes the growth path of small_vector::push_back, inlined here, for
// a copy of elements into a new buffer of no size (-Wstringop-overflow); the
// vector copies its size, which is 0 here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wstringop-overflow"
void output_item::make_spans_explicit() {
    if (spans_.empty() && block_.size() != 0) {
        spans_.push_back({nullptr, 0, block_.size()});
    }
}
#pragma GCC diagnostic pop

void output_item::add_span(const span& s) {
    if (s.size == 0) {
        return;
    }
    if (!spans_.empty()) {
        span& last = spans_.back();
        if (!s.shared && !last.shared && last.offset + last.size == s.offset) {
            last.size += s.size;
            size_ += s.size;
            return;
        }
    }
    spans_.push_back(s);
    size_ += s.size;
}

void output_item::add_block_bytes(std::uint32_t offset, std::uint32_t size) {
    add_span({nullptr, offset, size});
}

void output_item::add_shared(const std::uint8_t* data, std::uint32_t size,
                             const std::shared_ptr<const void>& owner) {
    if (size == 0) {
        return;
    }
    // Consecutive bodies usually come from one owner (a batch of messages).
    if (owners_.empty() || owners_.back() != owner) {
        owners_.push_back(owner);
    }
    add_span({data, 0, size});
}

void output_item::finish(std::uint32_t block_bytes) {
    block_.set_size(block_bytes);
    if (spans_.empty()) {
        size_ = block_bytes;
    }
}

bool output_item::merge(output_item& later) {
    if (&later == this || !block_ || std::uint64_t{size_} + later.size_ > limit_ ||
        std::uint64_t{block_.size()} + later.block_.size() > block_.capacity()) {
        return false;
    }
    if (spans_.empty() && later.spans_.empty()) {
        size_ += later.size_;
    } else {
        spans_.reserve(spans_.size() + later.spans_.size() + 1);
        owners_.reserve(owners_.size() + later.owners_.size());
        make_spans_explicit();
        const std::uint32_t base = block_.size();
        if (later.spans_.empty()) {
            add_span({nullptr, base, later.block_.size()});
        } else {
            for (const span& s : later.spans_) {
                add_span(s.shared ? s : span{nullptr, base + s.offset, s.size});
            }
        }
        for (auto& owner : later.owners_) {
            if (owners_.empty() || owners_.back() != owner) {
                owners_.push_back(std::move(owner));
            }
        }
    }
    // Later's block bytes follow ours; they fit, as checked above.
    block_buffer_merge(later.block_, block_);
    later.reset();
    return true;
}

void output_item::reset() noexcept {
    block_.reset();
    spans_.clear();
    owners_.clear();
    size_ = 0;
    limit_ = 0;
}

}  // namespace rtmp
