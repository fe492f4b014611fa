#pragma once

#include <atomic>
#include <cstdint>

namespace rtmp {

// The memory that all connections of a server may hold together in messages
// still arriving. A connection holds one message of the largest size on its
// own (see pending_message_allowance); only what it holds beyond that comes
// from here, so that a crowd of connections cannot take the machine's memory
// while every client still gets its own messages through.
class pending_message_budget {
  public:
    static constexpr std::uint64_t default_limit = std::uint64_t{64} << 20;

    explicit pending_message_budget(std::uint64_t limit = default_limit) noexcept : limit_(limit) {}

    pending_message_budget(const pending_message_budget&) = delete;
    pending_message_budget& operator=(const pending_message_budget&) = delete;

    // Takes `bytes`; takes nothing and returns false when that would pass
    // the limit.
    bool take(std::uint64_t bytes) noexcept;
    void give_back(std::uint64_t bytes) noexcept;

    std::uint64_t used() const noexcept { return used_.load(std::memory_order_relaxed); }
    std::uint64_t limit() const noexcept { return limit_.load(std::memory_order_relaxed); }
    // Meant for before the server starts; bytes already taken stay taken.
    void set_limit(std::uint64_t limit) noexcept { limit_.store(limit, std::memory_order_relaxed); }

  private:
    std::atomic<std::uint64_t> used_{0};
    std::atomic<std::uint64_t> limit_;
};

// What one connection's unfinished messages hold, in bytes: never more than
// `max_bytes`, and beyond the first `own_bytes` only what the server's budget
// grants. Gives back what it drew when it goes.
//
// Not locked: the chunk layer uses it on its connection's thread only.
class pending_message_allowance {
  public:
    // `server` may be null: no server-wide bound.
    pending_message_allowance(pending_message_budget* server, std::uint64_t own_bytes,
                              std::uint64_t max_bytes) noexcept
        : server_(server), own_bytes_(own_bytes), max_bytes_(max_bytes) {}
    ~pending_message_allowance();

    pending_message_allowance(const pending_message_allowance&) = delete;
    pending_message_allowance& operator=(const pending_message_allowance&) = delete;

    // Holds `bytes` more. Throws std::runtime_error, holding nothing more,
    // past `max_bytes` ("Pending messages are too big") or when the server's
    // budget has no room ("Server has no room for pending messages").
    void hold(std::uint64_t bytes);
    void release(std::uint64_t bytes) noexcept;

    std::uint64_t held() const noexcept { return held_; }

  private:
    std::uint64_t drawn(std::uint64_t held) const noexcept {
        return held > own_bytes_ ? held - own_bytes_ : 0;
    }

    pending_message_budget* const server_;
    const std::uint64_t own_bytes_;
    const std::uint64_t max_bytes_;
    std::uint64_t held_ = 0;
};

}  // namespace rtmp
