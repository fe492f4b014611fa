#pragma once

// A real qen process on 127.0.0.1 with a domain tree of its own, for tests
// that drive it with real clients.

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/testing/test_support.hpp"

namespace qen_test {

struct qen_options {
    // More children of the domain element (virtual_dirs...); "$ROOT" stands
    // for the test's folder.
    std::string domain_extra;
    bool rtmp_disabled = false;
    // RTMFP runs on free ports of its own unless disabled.
    bool rtmfp_disabled = false;
    // More children of the rtmfp element (max_groups_per_session...).
    std::string rtmfp_extra;
};

// The UDP ports of the RTMFP server.
struct rtmfp_ports {
    unsigned short port = 0;
    unsigned short detect_nat_port1 = 0;
    unsigned short detect_nat_port2 = 0;
};

class qen_process {
  public:
    // Starts qen and waits until it accepts connections.
    explicit qen_process(qen_options opts = {});
    // Stops it if it still runs.
    ~qen_process();

    qen_process(const qen_process&) = delete;
    qen_process& operator=(const qen_process&) = delete;

    unsigned short port() const { return port_; }
    const rtmfp_ports& rtmfp() const { return rtmfp_; }
    // The test's own folder; the domain's root is www() inside it.
    const std::filesystem::path& root() const { return dir_.path(); }
    std::filesystem::path www() const { return dir_ / "www"; }
    // Creates an application folder under the domain's root.
    std::filesystem::path app(const std::string& path) const;
    // Writes an application's .flaccess from the body of its qen_app element.
    static void write_settings(const std::filesystem::path& app_dir, const std::string& body);

    // rtmp://127.0.0.1:PORT/ followed by the path.
    std::string url(std::string_view path) const;

    // Asks it to stop with the signal (the shutdown event when 0) and returns
    // its exit code (-1 when it did not stop in time).
    int stop(int signal_number = 0);
    // Kills it (SIGKILL), as a crash would, and removes the shutdown event
    // it leaves behind, which a later process given the same pid would
    // otherwise find.
    void kill();
    // Starts it again on the same configuration.
    void restart();

    platform::testing::child_process& process() { return *process_; }

  private:
    void start();

    platform::testing::temp_dir dir_;
    unsigned short port_;
    rtmfp_ports rtmfp_;
    std::unique_ptr<platform::testing::child_process> process_;
};

}  // namespace qen_test
