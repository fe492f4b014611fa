#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <utility>

// A table from small unsigned ids (chunk streams, message streams, flows) to
// objects, looked up for every message. Ids below 128, the ones in real use,
// are answered by one array read; larger ids by the ordered map that holds
// every entry and gives iteration in ascending id order.
//
// `Pointer` decides ownership: a raw pointer for a table that only refers
// to its objects, std::unique_ptr for one that owns them.
template <class Pointer>
class id_map {
  public:
    using element_type = typename std::pointer_traits<Pointer>::element_type;
    using map_type = std::map<std::uint32_t, Pointer>;
    static constexpr std::uint32_t fast_ids = 128;

    id_map() = default;
    id_map(const id_map&) = delete;
    id_map& operator=(const id_map&) = delete;

    element_type* find(std::uint32_t id) const {
        if (id < fast_ids) {
            return fast_[id];
        }
        auto it = entries_.find(id);
        return it == entries_.end() ? nullptr : std::to_address(it->second);
    }

    // False, and `value` left with the caller, when the id is present.
    bool insert(std::uint32_t id, Pointer&& value) {
        element_type* raw = std::to_address(value);
        auto [it, inserted] = entries_.try_emplace(id, std::move(value));
        if (inserted && id < fast_ids) {
            fast_[id] = raw;
        }
        return inserted;
    }

    // The entry taken out of the table (empty when the id is absent), so an
    // owner decides when its object dies.
    Pointer extract(std::uint32_t id) {
        auto node = entries_.extract(id);
        if (node.empty()) {
            return Pointer();
        }
        if (id < fast_ids) {
            fast_[id] = nullptr;
        }
        return std::move(node.mapped());
    }

    void erase(std::uint32_t id) { extract(id); }

    void clear() {
        entries_.clear();
        fast_.fill(nullptr);
    }

    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }

    // Ascending ids.
    typename map_type::const_iterator begin() const noexcept { return entries_.begin(); }
    typename map_type::const_iterator end() const noexcept { return entries_.end(); }

  private:
    map_type entries_;
    std::array<element_type*, fast_ids> fast_{};
};
