#pragma once

#include <boost/interprocess/ipc/message_queue.hpp>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/unique_fd.hpp"

// How a second launch reaches the client already running for its site.
namespace lumo_upl {

// A message between instances: strings, each a 16-bit little-endian length
// and its bytes, one after the other.
class ipc_message_writer {
  public:
    // Throws std::runtime_error "size error" for a string of more than
    // 65535 bytes.
    void write_string(const std::string& text);
    const std::string& bytes() const { return bytes_; }

  private:
    std::string bytes_;
};

class ipc_message_reader {
  public:
    explicit ipc_message_reader(std::string bytes) : bytes_(std::move(bytes)) {}
    // Throws std::runtime_error "stream error" when the length or the
    // string runs past the message.
    std::string read_string();

  private:
    std::string bytes_;
    std::size_t position_ = 0;
};

// The message that hands a launch code to the running instance.
std::string load_message(const std::string& launch_code);
// The code of a "load" message; nothing for any other message, or for one
// that is malformed.
std::optional<std::string> code_of_load_message(const std::string& message);

// The site's single-instance queue (20 messages of up to 1024 bytes),
// named by the instance name. The instance is the process that holds the
// lock on "<name>.lock" in the lock folder: only it removes a queue left
// behind by an instance that died and creates the queue anew. An instance
// that ends removes its queue first and lets the lock go last, once its
// work has stopped: meanwhile a launch finds the lock taken and no queue,
// as it does while an instance starts. The lock goes with the process
// however it ends, so a killed instance never blocks the next one.
class instance_queue {
  public:
    static constexpr std::size_t max_messages = 20;
    static constexpr std::size_t max_message_size = 1024;

    instance_queue(std::string name, std::filesystem::path lock_folder);
    // Closes the queue (see close) and lets the lock go.
    ~instance_queue();
    instance_queue(const instance_queue&) = delete;
    instance_queue& operator=(const instance_queue&) = delete;

    // Takes the lock and creates the queue; false when another process
    // holds the lock (or the queue cannot be made).
    bool become_owner();
    // Opens the running instance's queue, trying again for up to `patience`
    // (that instance may hold the lock before its queue exists).
    bool open_existing(std::chrono::milliseconds patience);
    // Closes the queue; the owner removes it by name and keeps the lock, so
    // that no launch hands its code to an instance that is ending.
    void close();
    bool owner() const { return owner_; }
    bool is_open() const { return queue_ != nullptr; }

    // Posts without waiting; false when the queue is full or not open.
    bool post(const std::string& message);
    // One message, without waiting.
    std::optional<std::string> try_receive();

    const std::string& name() const { return name_; }

  private:
    const std::string name_;
    const std::filesystem::path lock_file_;
    unique_fd lock_;
    bool owner_ = false;
    std::unique_ptr<boost::interprocess::message_queue> queue_;
};

}  // namespace lumo_upl
