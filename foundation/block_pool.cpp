#include "foundation/block_pool.hpp"

#include <cstring>
#include <stdexcept>
#include <utility>

block_malloc::block_malloc(std::uint32_t block_size, std::uint32_t min_free)
    : block_size_(block_size), min_free_(min_free) {
    if (block_size == 0) {
        throw std::invalid_argument("Bad block size");
    }
}

block_malloc::~block_malloc() = default;

std::uint8_t* block_malloc::get() {
    {
        std::lock_guard lock(mutex_);
        if (!free_list_.empty()) {
            std::uint8_t* reused = free_list_.back().release();
            free_list_.pop_back();
            ++outstanding_;
            return reused;
        }
    }
    // The heap is not asked under the lock; if it fails nothing was counted.
    block fresh = std::make_unique_for_overwrite<std::uint8_t[]>(block_size_);
    std::lock_guard lock(mutex_);
    ++outstanding_;
    return fresh.release();
}

void block_malloc::put(std::uint8_t* returned) noexcept {
    if (returned == nullptr) {
        return;
    }
    // Declared before the lock so that a block that is not kept goes back to
    // the heap after the lock is released.
    block owner(returned);
    std::lock_guard lock(mutex_);
    if (outstanding_ != 0) {
        --outstanding_;
    }
    const std::size_t free_blocks = free_list_.size();
    if (free_blocks > min_free_ && outstanding_ <= free_blocks) {
        return;
    }
    try {
        // While more blocks are out than free, make room for all of them to
        // come back without the list reallocating at every return.
        if (free_blocks > min_free_ && free_list_.capacity() < 2 * std::size_t{outstanding_}) {
            free_list_.reserve(2 * std::size_t{outstanding_});
        }
        free_list_.push_back(std::move(owner));
    } catch (const std::bad_alloc&) {
        // Out of memory for the list: the block is simply not kept.
    }
}

std::size_t block_malloc::free_count() const {
    std::lock_guard lock(mutex_);
    return free_list_.size();
}

std::uint32_t block_malloc::outstanding() const {
    std::lock_guard lock(mutex_);
    return outstanding_;
}

block_buffer::block_buffer(block_malloc& from)
    : pool_(&from), data_(from.get()), size_(from.block_size()) {}

block_buffer block_buffer::adopt(block_malloc& from, std::uint8_t* data, std::uint32_t size) {
    if (size > from.block_size()) {
        from.put(data);
        throw std::out_of_range("Block size exceeded");
    }
    return block_buffer(&from, data, size);
}

block_buffer::block_buffer(block_buffer&& other) noexcept
    : pool_(std::exchange(other.pool_, nullptr)),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

block_buffer& block_buffer::operator=(block_buffer&& other) noexcept {
    if (this != &other) {
        reset();
        pool_ = std::exchange(other.pool_, nullptr);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

void block_buffer::set_size(std::uint32_t size) {
    if (size > capacity()) {
        throw std::out_of_range("Block size exceeded");
    }
    size_ = size;
}

void block_buffer::reset() noexcept {
    if (pool_ != nullptr) {
        pool_->put(data_);
    }
    pool_ = nullptr;
    data_ = nullptr;
    size_ = 0;
}

std::uint8_t* block_buffer::release() noexcept {
    pool_ = nullptr;
    size_ = 0;
    return std::exchange(data_, nullptr);
}

block_malloc_array::block_malloc_array() {
    for (unsigned i = 0; i < pools_.size(); ++i) {
        pools_[i] = std::make_unique<block_malloc>(std::uint32_t{1} << (base_exponent + i));
    }
}

block_malloc& block_malloc_array::pool(unsigned exponent) {
    if (exponent < base_exponent || exponent > max_exponent) {
        throw std::invalid_argument("Bad block size class");
    }
    return *pools_[exponent - base_exponent];
}

bool block_buffer_merge(block_buffer& a, block_buffer& b) noexcept {
    if (&a == &b || !b || b.capacity() - b.size() < a.size()) {
        return false;
    }
    if (a.size() != 0) {
        std::memcpy(b.data() + b.size(), a.data(), a.size());
    }
    // Cannot throw: the sum fits the block.
    b.set_size(b.size() + a.size());
    a.reset();
    return true;
}
