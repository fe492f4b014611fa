#pragma once

#include <sys/types.h>

#include <boost/asio/ip/udp.hpp>

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform_process.hpp"

namespace bench {

// A qen process serving RTMFP alone on free UDP ports of 127.0.0.1, in a
// folder of its own with one domain and its application "app"; stopped
// with SIGTERM when it goes.
class qen_child {
  public:
    // `threads`: its io threads on each side (NUMBER_OF_PROCESSORS).
    // Throws when it does not start.
    qen_child(const std::string& binary, std::size_t threads);
    ~qen_child();

    qen_child(const qen_child&) = delete;
    qen_child& operator=(const qen_child&) = delete;

    boost::asio::ip::udp::endpoint endpoint() const;
    // The tcUrl of its application.
    std::string url() const;
    pid_t pid() const { return process_->id(); }

  private:
    std::filesystem::path dir_;
    std::vector<unsigned short> ports_;
    std::unique_ptr<platform::platform_process> process_;
};

}  // namespace bench
