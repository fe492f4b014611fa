#include "rtmp/tests/test_server.hpp"

#include <boost/asio/ip/address.hpp>

#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>

namespace rtmp_test {

int serve_until_signalled(
    unsigned short port,
    const std::function<void(rtmp::rtmp_server& server, io_service_pool& pool)>& bind) {
    // Held before any thread starts, so that only sigwait takes them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    try {
        rtmp::rtmp_server_context context;
        io_service_pool pool(4);
        const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::make_address("127.0.0.1"),
                                                      port);
        auto server = std::make_shared<rtmp::rtmp_server>(pool, endpoint, context);
        bind(*server, pool);
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

}  // namespace rtmp_test
