#include "bench/qen_child.hpp"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace bench {

namespace {

namespace ip = boost::asio::ip;
namespace fs = std::filesystem;

// Three UDP ports of 127.0.0.1 that were free a moment ago, all different.
std::vector<unsigned short> free_udp_ports() {
    boost::asio::io_context io;
    std::vector<ip::udp::socket> held;
    std::vector<unsigned short> ports;
    for (int i = 0; i < 3; ++i) {
        held.emplace_back(io, ip::udp::endpoint(ip::make_address("127.0.0.1"), 0));
        ports.push_back(held.back().local_endpoint().port());
    }
    return ports;
}

}  // namespace

qen_child::qen_child(const std::string& binary, std::size_t threads)
    : dir_(fs::temp_directory_path() / ("rtmfp_bench_" + std::to_string(::getpid()))),
      ports_(free_udp_ports()) {
    fs::create_directories(dir_ / "www" / "app");
    // Every client of the benchmarks comes from a loopback address, many
    // from one.
    std::ofstream(dir_ / "qen.xml")
        << "<config><qen><rtmp><disabled>1</disabled></rtmp><rtmfp><port>" << ports_[0]
        << "</port><detect_nat_port1>" << ports_[1] << "</detect_nat_port1><detect_nat_port2>"
        << ports_[2]
        << "</detect_nat_port2><max_sessions_per_ip>1000000</max_sessions_per_ip></rtmfp>"
           "<domains><domain><names><name>localhost</name></names><path>"
        << (dir_ / "www").string()
        << "</path><default>true</default></domain></domains></qen></config>\n";
    ::setenv("NUMBER_OF_PROCESSORS", std::to_string(threads).c_str(), 1);
    process_ = std::make_unique<platform::platform_process>(
        std::vector<std::string>{binary, (dir_ / "qen.xml").string()}, false);
    if (!process_->run()) {
        throw std::runtime_error("qen does not start: " + binary);
    }
}

qen_child::~qen_child() {
    process_->signal(SIGTERM);
    if (!process_->wait_for_exit(std::chrono::seconds(30))) {
        process_->terminate();
    }
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

ip::udp::endpoint qen_child::endpoint() const {
    return ip::udp::endpoint(ip::make_address("127.0.0.1"), ports_[0]);
}

std::string qen_child::url() const {
    return "rtmfp://localhost:" + std::to_string(ports_[0]) + "/app";
}

}  // namespace bench
