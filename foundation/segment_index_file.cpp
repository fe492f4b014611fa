#include "foundation/segment_index_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "foundation/buffer.hpp"
#include "foundation/file_io.hpp"
#include "foundation/replace_file.hpp"

namespace {

namespace fs = std::filesystem;

// The head without its duration: what a writer changes at every cut.
bool same_but_duration(std::string_view a, std::string_view b) {
    constexpr std::size_t after_duration = segment_index_duration_offset + 4;
    return a.size() == b.size() && a.size() >= after_duration &&
           a.substr(0, segment_index_duration_offset) ==
               b.substr(0, segment_index_duration_offset) &&
           a.substr(after_duration) == b.substr(after_duration);
}

}  // namespace

std::optional<segment_index_update> segment_index_updates::next(const segment_index& index) {
    segment_index_update update;
    update.head = index.encode_head();
    const auto count = static_cast<std::uint32_t>(index.segments.size());
    const std::uint64_t bytes = update.head.size() + segment_index_count_bytes +
                                std::uint64_t{segment_index_entry_bytes} * count;
    if (bytes > segment_index_max_bytes) {
        throw buffer_over_range("Write buffer overflow");
    }
    if (started_ && update.head == head_ && count == count_) {
        return std::nullopt;
    }
    update.whole = !started_ || !same_but_duration(update.head, head_) || count < count_;
    update.first = update.whole ? 0 : count_;
    update.entries.assign(index.segments.begin() + update.first, index.segments.end());
    head_ = update.head;
    count_ = count;
    started_ = true;
    return update;
}

void segment_index_file::apply(const segment_index_update& update) {
    if (!update.whole) {
        // Only ever after the update it follows: written over another
        // state, it would make a table of the wrong segments.
        if (!fd_ || update.first != count_ || update.head.size() != head_size_) {
            throw std::runtime_error("Index file out of step");
        }
        append(update);
        count_ = update.first + static_cast<std::uint32_t>(update.entries.size());
        return;
    }
    std::string bytes = update.head;
    const std::size_t table =
        segment_index_count_bytes + std::size_t{segment_index_entry_bytes} * update.entries.size();
    bytes.resize(update.head.size() + table);
    buffer_writer out(bytes.data() + update.head.size(), static_cast<std::uint32_t>(table));
    out.write_u32(static_cast<std::uint32_t>(update.entries.size()));
    segment_index::encode_entries(update.entries, out);
    // The descriptor of the file replaced would write to a file no longer
    // named: it goes first.
    fd_.reset();
    replace_file(path_, bytes);
    fd_.reset(::open(path_.c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd_) {
        throw_file_error("Can't open file", path_);
    }
    head_size_ = update.head.size();
    count_ = static_cast<std::uint32_t>(update.entries.size());
}

void segment_index_file::append(const segment_index_update& update) {
    const int fd = fd_.get();
    const auto* head = reinterpret_cast<const std::uint8_t*>(update.head.data());
    write_at(fd, {head + segment_index_duration_offset, 4}, segment_index_duration_offset, path_);
    std::string entries(std::size_t{segment_index_entry_bytes} * update.entries.size(), '\0');
    buffer_writer out(entries.data(), static_cast<std::uint32_t>(entries.size()));
    segment_index::encode_entries(update.entries, out);
    write_at(fd, {reinterpret_cast<const std::uint8_t*>(entries.data()), entries.size()},
             head_size_ + segment_index_count_bytes +
                 std::uint64_t{segment_index_entry_bytes} * update.first,
             path_);
    // The entries reach the disk before the count that names them.
    if (::fdatasync(fd) != 0) {
        throw_file_error("Can't write file", path_);
    }
    std::uint8_t count[segment_index_count_bytes];
    buffer_writer count_out(count, sizeof count);
    count_out.write_u32(update.first + static_cast<std::uint32_t>(update.entries.size()));
    write_at(fd, count, head_size_, path_);
}
