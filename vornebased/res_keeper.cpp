#include "vornebased/res_keeper.hpp"

#include "vornebased/vorne_exception.hpp"

namespace VorneBased {
namespace {

constexpr const char* module = "res_keeper";

}  // namespace

void res_keeper::Alloc(std::size_t size) {
    block_.reset();
    size_ = 0;
    if (size == 0) {
        return;
    }
    block_.reset(std::malloc(size));
    if (!block_) {
        Raise(error::no_memory, "No enough memory", module);
    }
    size_ = size;
}

void res_keeper::Realloc(std::size_t size) {
    if (size == 0) {
        Alloc(0);
        return;
    }
    void* grown = std::realloc(block_.get(), size);
    if (grown == nullptr) {
        // The old block is given up as well: an empty keeper is the one
        // state the caller can rely on after the error.
        Alloc(0);
        Raise(error::no_memory, "No enough memory", module);
    }
    (void)block_.release();
    block_.reset(grown);
    size_ = size;
}

void aligned_res_keeper::Alloc(std::size_t size) {
    block_.reset();
    size_ = 0;
    if (size == 0) {
        return;
    }
    const std::size_t rounded = (size + alignment_ - 1) / alignment_ * alignment_;
    if (rounded >= size) {
        block_.reset(std::aligned_alloc(alignment_, rounded));
    }
    if (!block_) {
        Raise(error::no_memory, "No enough memory", module);
    }
    size_ = size;
}

}  // namespace VorneBased
