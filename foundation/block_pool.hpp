#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

// One pool of equal-sized heap blocks. Returned blocks are kept for reuse
// (last returned, first lent) so that a busy server does not go to the heap
// for every message: at least `min_free` of them once the pool has had that
// many, and more while the traffic that produced them is still in flight.
// Blocks are lent and returned from any thread.
//
// Every block from get() goes back through put() of the same pool exactly
// once, and before the pool is destroyed; block_buffer does this by itself.
class block_malloc {
  public:
    explicit block_malloc(std::uint32_t block_size, std::uint32_t min_free = 512);
    ~block_malloc();

    block_malloc(const block_malloc&) = delete;
    block_malloc& operator=(const block_malloc&) = delete;

    // A block of block_size() bytes, not cleared.
    std::uint8_t* get();
    // Takes a block back; never throws (a block that cannot be kept is
    // freed). A null pointer is ignored.
    void put(std::uint8_t* block) noexcept;

    std::uint32_t block_size() const noexcept { return block_size_; }
    std::uint32_t min_free() const noexcept { return min_free_; }
    std::size_t free_count() const;
    std::uint32_t outstanding() const;

  private:
    using block = std::unique_ptr<std::uint8_t[]>;

    const std::uint32_t block_size_;
    const std::uint32_t min_free_;
    mutable std::mutex mutex_;
    std::vector<block> free_list_;
    std::uint32_t outstanding_ = 0;
};

// A block lent by a pool with the number of bytes in use. It is the block's
// only holder: moving it hands the block on, and destroying (or reset())
// returns it to its pool. release() hands the raw block on to code that
// returns it with block_malloc::put itself.
class block_buffer {
  public:
    block_buffer() noexcept = default;
    // Lends a block of `from`; its size is the whole block.
    explicit block_buffer(block_malloc& from);
    // Takes over a block that `from` lent (to get() or release()).
    static block_buffer adopt(block_malloc& from, std::uint8_t* data, std::uint32_t size);

    block_buffer(block_buffer&& other) noexcept;
    block_buffer& operator=(block_buffer&& other) noexcept;
    ~block_buffer() { reset(); }

    block_malloc* pool() const noexcept { return pool_; }
    std::uint8_t* data() const noexcept { return data_; }
    std::uint32_t size() const noexcept { return size_; }
    // The block size of its pool; 0 without a block.
    std::uint32_t capacity() const noexcept { return pool_ ? pool_->block_size() : 0; }
    explicit operator bool() const noexcept { return data_ != nullptr; }

    // The bytes in use; more than capacity() throws std::out_of_range.
    void set_size(std::uint32_t size);

    void reset() noexcept;
    std::uint8_t* release() noexcept;

  private:
    block_buffer(block_malloc* pool, std::uint8_t* data, std::uint32_t size) noexcept
        : pool_(pool), data_(data), size_(size) {}

    block_malloc* pool_ = nullptr;
    std::uint8_t* data_ = nullptr;
    std::uint32_t size_ = 0;
};

// The ten pools of 2^7 (128) to 2^16 (65536) bytes from which outgoing
// media messages are built. Built once and not locked itself; each pool
// locks on its own.
class block_malloc_array {
  public:
    static constexpr unsigned base_exponent = 7;
    static constexpr unsigned max_exponent = 16;

    block_malloc_array();

    // A block of the pool of 2^exponent bytes; an exponent outside 7..16
    // throws std::invalid_argument.
    block_buffer operator()(unsigned exponent) { return block_buffer(pool(exponent)); }
    block_malloc& pool(unsigned exponent);

  private:
    std::array<std::unique_ptr<block_malloc>, max_exponent - base_exponent + 1> pools_;
};

// Appends a's bytes to b's when b's block has room for them, and then returns
// a's block to its pool: the send queue folds a small message into the one
// waiting before it this way. Returns false and changes nothing otherwise.
bool block_buffer_merge(block_buffer& a, block_buffer& b) noexcept;
