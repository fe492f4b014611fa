// A recorded-playback server for tests with real clients: every connect is
// accepted and every play of NAME plays NAME.flv from the folder given.
// Listens on 127.0.0.1 at the port given; prints "ready" once it accepts,
// and stops on SIGTERM or SIGINT.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>

#include <boost/asio/ip/address.hpp>

#include "foundation/io_service_pool.hpp"
#include "rtmp/rtmp_server.hpp"
#include "rtmp/tests/recorded_files.hpp"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "Usage: rtmp_recorded_server PORT FOLDER\n");
        return 1;
    }
    // Held before any thread starts, so that only sigwait takes them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    try {
        rtmp::rtmp_server_context context;
        io_service_pool pool(4);
        const boost::asio::ip::tcp::endpoint endpoint(
            boost::asio::ip::make_address("127.0.0.1"),
            static_cast<unsigned short>(std::atoi(argv[1])));
        auto server = std::make_shared<rtmp::rtmp_server>(pool, endpoint, context);
        rtmp_test::bind_recorded_files(*server, pool, argv[2]);
        server->start();
        std::printf("ready\n");
        std::fflush(stdout);
        int signal_number = 0;
        sigwait(&stop_signals, &signal_number);
        server->stop();
        pool.stop();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 3;
    }
    return 0;
}
