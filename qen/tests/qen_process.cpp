#include "qen/tests/qen_process.hpp"

#include <semaphore.h>
#include <signal.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/named_event.hpp"
#include "platform/testing/process_groups.hpp"
#include "qen/shutdown_event.hpp"

namespace qen_test {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace testing = platform::testing;

qen_process::qen_process(qen_options opts) : port_(testing::free_port()) {
    if (!opts.rtmfp_disabled) {
        // Three different ones: the system may hand out a port again.
        std::vector<unsigned short> ports;
        while (ports.size() < 3) {
            const unsigned short port = testing::free_port(testing::transport::udp);
            if (std::find(ports.begin(), ports.end(), port) == ports.end()) {
                ports.push_back(port);
            }
        }
        rtmfp_ = {ports[0], ports[1], ports[2]};
    }
    fs::create_directories(www());
    for (std::size_t at; (at = opts.domain_extra.find("$ROOT")) != std::string::npos;) {
        opts.domain_extra.replace(at, 5, root().string());
    }
    testing::write_file(
        dir_ / "qen.xml",
        "<?xml version=\"1.0\"?>\n<config><qen>"
        "<rtmp><disabled>" +
            std::string(opts.rtmp_disabled ? "1" : "0") +
            "</disabled><addr>127.0.0.1</addr><port>" + std::to_string(port_) +
            "</port></rtmp><rtmfp><disabled>" + std::string(opts.rtmfp_disabled ? "1" : "0") +
            "</disabled><port>" + std::to_string(rtmfp_.port) + "</port><detect_nat_port1>" +
            std::to_string(rtmfp_.detect_nat_port1) + "</detect_nat_port1><detect_nat_port2>" +
            std::to_string(rtmfp_.detect_nat_port2) + "</detect_nat_port2>" + opts.rtmfp_extra +
            "</rtmfp>"
            "<app_update_interval>0</app_update_interval>"
            "<domains><domain><names><name>localhost</name><name>127.0.0.1</name></names>"
            "<path>" +
            www().string() + "</path><default>true</default>" + opts.domain_extra +
            "</domain></domains></qen></config>\n");
    start();
}

qen_process::~qen_process() {
    if (process_ && process_->running()) {
        stop(SIGTERM);
    }
}

void qen_process::start() {
    process_ = std::make_unique<testing::child_process>(
        std::vector<std::string>{QEN_BINARY, (dir_ / "qen.xml").string()},
        testing::spawn_options{.set_env = {{"NUMBER_OF_PROCESSORS", "4"}}});
    if (!testing::wait_for_tcp_port(port_, 20s)) {
        throw std::runtime_error("qen did not start: " + process_->stderr_text());
    }
}

void qen_process::kill() {
    process_->signal(SIGKILL);
    if (!process_->wait_for_exit(30s)) {
        throw std::runtime_error("qen did not end when killed");
    }
    platform::remove_named_event(qen::shutdown_event_name(process_->pid()));
}

void qen_process::restart() {
    if (process_->running()) {
        stop(SIGTERM);
    }
    start();
}

fs::path qen_process::app(const std::string& path) const {
    const fs::path dir = www() / path;
    fs::create_directories(dir);
    return dir;
}

void qen_process::write_settings(const fs::path& app_dir, const std::string& body) {
    testing::write_file(app_dir / ".flaccess", "<?xml version=\"1.0\"?><config><qen_app>" + body +
                                                   "</qen_app></config>\n");
}

std::string qen_process::url(std::string_view path) const {
    return "rtmp://127.0.0.1:" + std::to_string(port_) + "/" + std::string(path);
}

int qen_process::stop(int signal_number) {
    if (signal_number == 0) {
        // What the supervisor does: set the process's shutdown event. The
        // server listens a moment before it makes the event, and takes the
        // stop signals right after: an event of the same name found before
        // that may be a stale one of a killed process with the same pid.
        const std::string name =
            platform::semaphore_name(qen::shutdown_event_name(process_->pid()));
        sem_t* event = SEM_FAILED;
        testing::eventually([&] {
            if (!process_->running()) {
                return true;
            }
            if (!testing::catches_signal(process_->pid(), SIGTERM)) {
                return false;
            }
            event = sem_open(name.c_str(), 0);
            return event != SEM_FAILED;
        });
        if (event == SEM_FAILED) {
            return -1;
        }
        sem_post(event);
        sem_close(event);
    } else {
        process_->signal(signal_number);
    }
    return process_->wait_for_exit(30s).value_or(-1);
}

}  // namespace qen_test
