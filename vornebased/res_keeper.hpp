#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

namespace VorneBased {

// An owned heap block. When the heap refuses a size, Alloc and Realloc
// raise error::no_memory "No enough memory" and leave an empty keeper.
class res_keeper {
  public:
    res_keeper() = default;
    explicit res_keeper(std::size_t size) { Alloc(size); }

    // Frees the block it holds and takes a new one; 0 holds nothing.
    void Alloc(std::size_t size);
    // Resizes the block, keeping its first bytes.
    void Realloc(std::size_t size);

    void* get() const { return block_.get(); }
    std::size_t size() const { return size_; }

  private:
    struct free_block {
        void operator()(void* block) const { std::free(block); }
    };
    std::unique_ptr<void, free_block> block_;
    std::size_t size_ = 0;
};

// The same for memory that must start on an `alignment` boundary (a power
// of two); the block is a whole number of alignments long.
class aligned_res_keeper {
  public:
    explicit aligned_res_keeper(std::size_t alignment) : alignment_(alignment) {}

    void Alloc(std::size_t size);

    void* get() const { return block_.get(); }
    std::size_t size() const { return size_; }
    std::size_t alignment() const { return alignment_; }

  private:
    struct free_block {
        void operator()(void* block) const { std::free(block); }
    };
    std::size_t alignment_;
    std::unique_ptr<void, free_block> block_;
    std::size_t size_ = 0;
};

}  // namespace VorneBased
