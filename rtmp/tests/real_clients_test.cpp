#include <gtest/gtest.h>

#include <boost/asio/ip/address.hpp>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "foundation/amf0.hpp"
#include "foundation/io_service_pool.hpp"
#include "platform/testing/test_support.hpp"
#include "rtmp/rtmp_server.hpp"
#include "rtmp/tests/rtmp_test_support.hpp"

namespace {

using namespace rtmp_test;
namespace testing_support = platform::testing;

std::string text_of(const amf0_based* value) {
    if (value == nullptr || value->marker != amf0_string::type_marker) {
        return "(not a string)";
    }
    return static_cast<const amf0_string*>(value)->value.str();
}

TEST(RealClients, FfmpegCompletesTheHandshakeAndItsConnectArrivesIntact) {
    if (!testing_support::have_program("ffmpeg")) {
        GTEST_SKIP() << "ffmpeg is not installed";
    }
    testing_support::temp_dir dir;
    const auto sample = dir / "sample.flv";
    ASSERT_EQ(make_sample_flv(sample), "");

    io_service_pool pool(2);
    rtmp::rtmp_server_context context;
    auto server = std::make_shared<rtmp::rtmp_server>(
        pool, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0),
        context);
    std::mutex mutex;
    std::string first_command;
    server->new_connection_handler = [&](const auto& connection) {
        connection->stack().message_handler = [&](const std::uint8_t* data, std::uint32_t size,
                                                  std::uint32_t, std::uint8_t type,
                                                  std::uint32_t stream_id) {
            std::lock_guard lock(mutex);
            if (type == 20 && stream_id == 0 && first_command.empty()) {
                first_command.assign(reinterpret_cast<const char*>(data), size);
            }
        };
    };
    server->start();
    const auto port = server->local_endpoint().port();
    const std::string url = "rtmp://127.0.0.1:" + std::to_string(port) + "/app";

    testing_support::child_process ffmpeg({"ffmpeg", "-hide_banner", "-re", "-i", sample.string(),
                                           "-c", "copy", "-f", "flv", url + "/s"});
    std::string command;
    for (int i = 0; i < 1000 && command.empty(); ++i) {
        std::this_thread::sleep_for(10ms);
        std::lock_guard lock(mutex);
        command = first_command;
    }
    server->stop();
    pool.stop();
    ASSERT_FALSE(command.empty()) << ffmpeg.stderr_text();

    buffer_reader in(command.data(), static_cast<std::uint32_t>(command.size()));
    EXPECT_EQ(text_of(amf0_read_value(in).get()), "connect");
    const auto transaction = amf0_read_value(in);
    ASSERT_EQ(transaction->marker, amf0_number::type_marker);
    EXPECT_EQ(static_cast<const amf0_number&>(*transaction).value, 1);
    const auto object = amf0_read_value(in);
    ASSERT_EQ(object->marker, amf0_object::type_marker);
    const auto& properties = static_cast<const amf0_object&>(*object);
    EXPECT_EQ(text_of(properties.find("app")), "app");
    EXPECT_EQ(text_of(properties.find("tcUrl")), url);
    EXPECT_EQ(in.remaining(), 0u);
}

}  // namespace
