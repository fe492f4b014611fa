#include <gtest/gtest.h>

#include <boost/asio/ip/address.hpp>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "foundation/io_service_pool.hpp"
#include "rtmp/rtmp_live_streams.hpp"
#include "rtmp/rtmp_server.hpp"
#include "rtmp/tests/live_relay.hpp"
#include "rtmp/tests/rtmp_test_support.hpp"

namespace {

using namespace rtmp_test;

class LiveRelay : public ::testing::Test, protected loopback_relay {};

// A video frame that carries its number after the AVC header.
std::string frame(std::uint32_t number, bool key, std::size_t size) {
    std::string body = hex_bytes(key ? "17 01 000000" : "27 01 000000") + be32(number);
    body.resize(size, 'p');
    return body;
}

std::uint32_t frame_number(const message& m) {
    return static_cast<std::uint32_t>(
        static_cast<std::uint8_t>(m.body[5]) << 24 | static_cast<std::uint8_t>(m.body[6]) << 16 |
        static_cast<std::uint8_t>(m.body[7]) << 8 | static_cast<std::uint8_t>(m.body[8]));
}

std::string metadata_message() {
    return amf0_bytes()
        .string("@setDataFrame")
        .string("onMetaData")
        .begin_object()
        .key("duration")
        .number(0)
        .end_object();
}

bool is_frame(const message& m) {
    return m.type == 9 && m.body.size() > 9 && m.body[1] == 1;
}

// Publishers and players join, leave, pause and drop their connections at
// random on several threads: whatever the interleaving, the locks of the
// connections, the registry and the streams must never wait on each other.
TEST_F(LiveRelay, PublishersAndPlayersComingAndGoingAtRandomNeverDeadlock) {
    start();
    const auto until = std::chrono::steady_clock::now() + 2500ms;
    std::atomic<int> sessions{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 8; ++t) {
        clients.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t));
            const char* names[] = {"a", "b", "c"};
            while (std::chrono::steady_clock::now() < until) {
                try {
                    rtmp_client client(port);
                    client.connect();
                    const std::uint32_t id = client.create_stream();
                    const std::string name = names[random() % 3];
                    const bool publishing = random() % 3 == 0;
                    if (publishing) {
                        client.publish(id, name);
                        client.send(18, id, 0, metadata_message());
                        for (std::uint32_t i = 0, count = random() % 40; i < count; ++i) {
                            client.send(9, id, i * 40,
                                        frame(i, i % 10 == 0, 300 + random() % 5000));
                            client.send(8, id, i * 40, hex_bytes("af 01 2110"));
                        }
                    } else {
                        const double starts[] = {-2000, -1000, 0, 500};
                        client.play(id, name, starts[random() % 4]);
                        if (random() % 4 == 0) {
                            client.send_command(id,
                                                command("pause", 0).null().boolean(true).number(0));
                            client.send_command(id,
                                                command("pause", 0).null().undefined().number(0));
                        }
                        if (random() % 4 == 0) {
                            client.send_command(id, command("seek", 0).null().number(100));
                        }
                        if (random() % 2 == 0) {
                            client.receive_for(std::chrono::milliseconds(random() % 30));
                        }
                    }
                    switch (random() % 4) {
                        case 0:
                            client.send_command(0, command("deleteStream", 0).null().number(id));
                            break;
                        case 1:
                            client.send_command(id, command("closeStream", 0).null());
                            break;
                        default:
                            break;  // just drop the connection
                    }
                    ++sessions;
                } catch (const std::exception&) {
                    // The server may close a connection that lost a race.
                }
            }
        });
    }
    for (auto& client : clients) {
        client.join();
    }
    EXPECT_GT(sessions.load(), 50);
    // A server whose connections wait on each other would not stop.
    stop();
    EXPECT_EQ(registry.size(), 0u) << "every stream went with its last client";
}

// A publisher sending 25 frames a second of media ten times faster than
// real time, a keyframe every 25 frames, each carrying its number.
class PublishedRelay : public LiveRelay {
  protected:
    static constexpr std::uint32_t frames = 600;

    void start_publishing(std::int32_t idle_timeout) {
        start(idle_timeout);
        publisher = std::make_unique<rtmp_client>(port);
        publisher->connect();
        publisher->set_chunk_size(65536);
        stream = publisher->create_stream();
        publisher->publish(stream, "s");
        ASSERT_TRUE(publisher->wait_for_status("NetStream.Publish.Start"));
    }

    bool join(rtmp_client& player) {
        player.connect();
        player.play(player.create_stream(), "s");
        return player.wait_for_status("NetStream.Play.Start");
    }

    // Publishes every frame while `fast` reads all it gets; returns how long
    // the publishing took.
    std::chrono::steady_clock::duration publish(rtmp_client& fast) {
        std::atomic<bool> done{false};
        std::thread reader([&] {
            while (!done) {
                fast.receive_for(20ms);
            }
        });
        const auto started = std::chrono::steady_clock::now();
        for (std::uint32_t i = 0; i < frames; ++i) {
            publisher->send(9, stream, i * 40, frame(i, i % 25 == 0, 32000));
            std::this_thread::sleep_until(started + i * 4ms);
        }
        const auto took = std::chrono::steady_clock::now() - started;
        // The server may still be relaying the last frames.
        const auto deadline = std::chrono::steady_clock::now() + 2s;
        while (std::chrono::steady_clock::now() < deadline && frames_of(fast).size() < frames - 2) {
            std::this_thread::sleep_for(10ms);
        }
        done = true;
        reader.join();
        return took;
    }

    static std::vector<std::uint32_t> frames_of(rtmp_client& player) {
        std::vector<std::uint32_t> numbers;
        for (const auto& m : player.received()) {
            if (is_frame(m)) {
                numbers.push_back(frame_number(m));
            }
        }
        return numbers;
    }

    // Every frame from the first, in order; the last ones may still wait in
    // the server for the next flush.
    static void expect_everything(const std::vector<std::uint32_t>& numbers) {
        for (std::uint32_t i = 0; i < numbers.size(); ++i) {
            ASSERT_EQ(numbers[i], i) << "a player that keeps up misses nothing";
        }
        EXPECT_GE(numbers.size(), frames - 2);
    }

    std::unique_ptr<rtmp_client> publisher;
    std::uint32_t stream = 0;
};

TEST_F(PublishedRelay, ASlowPlayerFallsBackToKeyframesWithoutSlowingTheOthers) {
    start_publishing(60);
    rtmp_client fast(port), slow(port, 8192);
    ASSERT_TRUE(join(fast));
    ASSERT_TRUE(join(slow));
    std::atomic<bool> done{false};
    std::thread slow_reader([&] {
        while (!done) {
            slow.receive(16384, 1ms);
            std::this_thread::sleep_for(100ms);
        }
    });
    const auto took = publish(fast);
    done = true;
    slow_reader.join();
    slow.receive_for(1s);

    EXPECT_LT(took, 4s) << "the publisher was held up";
    expect_everything(frames_of(fast));
    const auto numbers = frames_of(slow);
    ASSERT_FALSE(numbers.empty());
    EXPECT_LT(numbers.size(), frames / 2) << "the slow player could not take everything";
    std::size_t gaps = 0;
    for (std::size_t i = 1; i < numbers.size(); ++i) {
        if (numbers[i] != numbers[i - 1] + 1) {
            ++gaps;
            EXPECT_EQ(numbers[i] % 25, 0u) << "after a gap the slow player resumes at a keyframe";
        }
    }
    EXPECT_GT(gaps, 1u);
    EXPECT_FALSE(slow.socket().wait_closed(100ms)) << "a slow player stays connected";
}

TEST_F(PublishedRelay, APlayerThatStopsReadingIsDroppedAndThePublisherGoesOn) {
    start_publishing(1);
    rtmp_client fast(port), stalled(port, 4096);
    ASSERT_TRUE(join(fast));
    ASSERT_TRUE(join(stalled));
    const auto took = publish(fast);

    EXPECT_LT(took, 4s) << "the publisher was held up";
    expect_everything(frames_of(fast));
    EXPECT_TRUE(stalled.socket().wait_closed(2s)) << "the stalled player is dropped";
    EXPECT_FALSE(publisher->socket().wait_closed(100ms)) << "the publisher stays";
    EXPECT_TRUE(registry.exists("s"));
}

}  // namespace
