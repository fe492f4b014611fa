#include "lumo_upl/instance_queue.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

namespace lumo_upl {
namespace {

namespace ipc = boost::interprocess;

constexpr const char* load_command = "load";
constexpr auto open_retry = std::chrono::milliseconds(50);

}  // namespace

void ipc_message_writer::write_string(const std::string& text) {
    if (text.size() > 0xFFFF) {
        throw std::runtime_error("size error");
    }
    bytes_.push_back(static_cast<char>(text.size() & 0xFF));
    bytes_.push_back(static_cast<char>(text.size() >> 8));
    bytes_ += text;
}

std::string ipc_message_reader::read_string() {
    if (bytes_.size() - position_ < 2) {
        throw std::runtime_error("stream error");
    }
    const auto low = static_cast<unsigned char>(bytes_[position_]);
    const auto high = static_cast<unsigned char>(bytes_[position_ + 1]);
    const std::size_t length = low | (std::size_t{high} << 8);
    if (bytes_.size() - position_ - 2 < length) {
        throw std::runtime_error("stream error");
    }
    std::string text = bytes_.substr(position_ + 2, length);
    position_ += 2 + length;
    return text;
}

std::string load_message(const std::string& launch_code) {
    ipc_message_writer writer;
    writer.write_string(load_command);
    writer.write_string(launch_code);
    return writer.bytes();
}

std::optional<std::string> code_of_load_message(const std::string& message) {
    try {
        ipc_message_reader reader(message);
        if (reader.read_string() != load_command) {
            return std::nullopt;
        }
        return reader.read_string();
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

instance_queue::instance_queue(std::string name, std::filesystem::path lock_folder)
    : name_(std::move(name)), lock_file_(lock_folder / (name_ + ".lock")) {}

instance_queue::~instance_queue() {
    close();
}

void instance_queue::close() {
    if (!queue_) {
        return;
    }
    queue_.reset();
    if (owner_) {
        ipc::message_queue::remove(name_.c_str());
    }
}

bool instance_queue::become_owner() {
    if (owner_) {
        return true;
    }
    if (!lock_) {
        std::error_code ignored;
        std::filesystem::create_directories(lock_file_.parent_path(), ignored);
        lock_.reset(::open(lock_file_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (!lock_) {
            return false;
        }
    }
    if (::flock(lock_.get(), LOCK_EX | LOCK_NB) != 0) {
        return false;
    }
    // Whatever queue has this name now was left by an instance that ended
    // without removing it.
    ipc::message_queue::remove(name_.c_str());
    try {
        queue_ = std::make_unique<ipc::message_queue>(ipc::create_only, name_.c_str(), max_messages,
                                                      max_message_size);
    } catch (const ipc::interprocess_exception&) {
        ::flock(lock_.get(), LOCK_UN);
        return false;
    }
    owner_ = true;
    return true;
}

bool instance_queue::open_existing(std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        try {
            queue_ = std::make_unique<ipc::message_queue>(ipc::open_only, name_.c_str());
            return true;
        } catch (const ipc::interprocess_exception&) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
        }
        std::this_thread::sleep_for(open_retry);
    }
}

bool instance_queue::post(const std::string& message) {
    if (!queue_) {
        return false;
    }
    try {
        return queue_->try_send(message.data(), message.size(), 0);
    } catch (const ipc::interprocess_exception&) {
        return false;
    }
}

std::optional<std::string> instance_queue::try_receive() {
    if (!queue_) {
        return std::nullopt;
    }
    std::string buffer(max_message_size, '\0');
    ipc::message_queue::size_type received = 0;
    unsigned int priority = 0;
    try {
        if (!queue_->try_receive(buffer.data(), buffer.size(), received, priority)) {
            return std::nullopt;
        }
    } catch (const ipc::interprocess_exception&) {
        return std::nullopt;
    }
    buffer.resize(received);
    return buffer;
}

}  // namespace lumo_upl
