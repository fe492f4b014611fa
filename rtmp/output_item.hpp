#pragma once

#include <boost/container/small_vector.hpp>

#include <algorithm>
#include <cstdint>
#include <memory>

#include "foundation/block_pool.hpp"

namespace rtmp {

// Bytes a connection writes in one go: a pooled block that its chunk layer
// wrote into, possibly interleaved with message bodies that many connections
// send alike (a live stream's messages, encoded once). Those are shared, not
// copied: the item holds a reference to whatever keeps them alive until it
// has been written. Move-only, like the block it holds.
class output_item {
  public:
    output_item() = default;
    // The whole of a filled block.
    explicit output_item(block_buffer block) noexcept : block_(std::move(block)) {
        size_ = block_.size();
        limit_ = block_.capacity();
    }

    // The moved-from item is as good as new: a small_vector whose heap
    // buffer is taken keeps no room at all, not even its inline room, and
    // the chunk layer's item, reused after every flush, would then allocate
    // for every span it gets.
    output_item(output_item&& other) noexcept;
    output_item& operator=(output_item&& other) noexcept;
    ~output_item() = default;

    // All the bytes of the item.
    std::uint32_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    block_buffer& block() noexcept { return block_; }
    const block_buffer& block() const noexcept { return block_; }

    // Building an item (the chunk layer's output buffer): the block written
    // into, and the bytes the item may stand for at most (`limit`, at least
    // the block's capacity: an item of mostly shared bodies needs a small
    // block for its headers alone); then, in order, runs of its bytes
    // [offset, offset + size) and shared bodies that `owner` keeps alive;
    // finish() with the bytes of the block in use. An item that never had a
    // shared body is its block's bytes alone.
    void start(block_buffer block, std::uint32_t limit = 0) noexcept {
        block_ = std::move(block);
        size_ = 0;
        limit_ = std::max(limit, block_.capacity());
    }
    void add_block_bytes(std::uint32_t offset, std::uint32_t size);
    void add_shared(const std::uint8_t* data, std::uint32_t size,
                    const std::shared_ptr<const void>& owner);
    void finish(std::uint32_t block_bytes);
    bool has_shared() const noexcept { return !owners_.empty(); }

    // Calls `each(data, size)` for every run of bytes, in order.
    template <class Each>
    void for_each_run(Each each) const {
        if (spans_.empty()) {
            if (block_.size() != 0) {
                each(block_.data(), block_.size());
            }
            return;
        }
        for (const span& s : spans_) {
            each(s.shared ? s.shared : block_.data() + s.offset, s.size);
        }
    }

    // Appends `later` to this item when both fit: all of their bytes within
    // this item's limit (shared ones included, so that an item never stands
    // for much more than a block), and later's block bytes in this item's
    // block. Then empties `later`. Returns false and changes nothing
    // otherwise.
    bool merge(output_item& later);

    // Returns the block to its pool and drops the shared bodies.
    void reset() noexcept;

  private:
    struct span {
        // Null: bytes of the block from `offset`.
        const std::uint8_t* shared;
        std::uint32_t offset;
        std::uint32_t size;
    };
    void make_spans_explicit();
    void add_span(const span& s);
    void take(output_item& other) noexcept;

    block_buffer block_;
    // Empty: the item is the block's bytes alone. A block's worth of a live
    // stream is the end of a video frame and the audio frames after it, a
    // header and a body each, from as many batches as the player's flush
    // interval spans: room for them in place saves the allocations per item.
    boost::container::small_vector<span, 24> spans_;
    boost::container::small_vector<std::shared_ptr<const void>, 8> owners_;
    std::uint32_t size_ = 0;
    std::uint32_t limit_ = 0;
};

}  // namespace rtmp
