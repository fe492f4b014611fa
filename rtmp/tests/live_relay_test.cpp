#include <gtest/gtest.h>

#include <boost/asio/ip/address.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
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

// Reads all that arrives for a client on a thread that does nothing else, so
// that it keeps up however busy the machine is; the test's thread decodes
// what it hands over. The client's socket is the reader's until finish().
class background_reader {
  public:
    explicit background_reader(rtmp_client& client) : client_(client), thread_([this] { run(); }) {}
    ~background_reader() { finish(); }

    background_reader(const background_reader&) = delete;
    background_reader& operator=(const background_reader&) = delete;

    // Decodes what has arrived so far into the client's messages.
    void take() {
        std::string bytes;
        {
            std::lock_guard lock(mutex_);
            bytes.swap(arrived_);
        }
        client_.take(bytes);
    }

    std::uint64_t bytes_read() const noexcept { return bytes_read_.load(); }

    // Stops reading and decodes the rest.
    void finish() {
        done_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        take();
    }

  private:
    void run() {
        while (!done_) {
            const std::string bytes = client_.socket().receive_for(20ms);
            std::lock_guard lock(mutex_);
            arrived_ += bytes;
            bytes_read_ += bytes.size();
        }
    }

    rtmp_client& client_;
    std::mutex mutex_;
    std::string arrived_;
    std::atomic<std::uint64_t> bytes_read_{0};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// A publisher sending 25 frames a second of media four times faster than
// real time, a keyframe every 25 frames, each carrying its number, and never
// more than a few frames ahead of what the player that keeps up has read:
// however busy the machine, the server never finds that player lagging.
class PublishedRelay : public LiveRelay {
  protected:
    static constexpr std::uint32_t frames = 600;
    static constexpr std::uint32_t frame_size = 32000;
    static constexpr auto frame_interval = 10ms;
    // A quarter of what the server lets a player lag before it falls back
    // to keyframes.
    static constexpr std::uint32_t frames_ahead = 4;
    // Six seconds at the publisher's pace; at the slow player's it would
    // take a minute.
    static constexpr auto held_up = 20s;

    void TearDown() override { stop_sending(); }

    void start_publishing(std::int32_t idle_timeout) {
        start(idle_timeout, [this](const std::shared_ptr<rtmp::rtmp_server_connection>& c) {
            std::lock_guard lock(mutex);
            accepted.push_back(c);
        });
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

    // The server's side of the n-th connection (the publisher's is 0).
    std::shared_ptr<rtmp::rtmp_server_connection> connection(std::size_t n) {
        std::lock_guard lock(mutex);
        return accepted.at(n);
    }

    // Publishes every frame while `fast` reads all it gets, and returns once
    // `fast` has them; the publisher goes on with audio, which no check
    // counts, until stop_sending(), so that it never falls silent while the
    // test waits. Returns how long sending the frames took.
    std::chrono::steady_clock::duration publish(rtmp_client& fast) {
        background_reader reader(fast);
        sender = std::thread([this, &reader] { send_all(reader); });
        if (!eventually([&] { return frames_sent.load(); }, 30s)) {
            ADD_FAILURE() << "publishing failed";
            stop_sending();  // the sender reads `reader`
        }
        // The server may still be relaying the last frames.
        eventually(
            [&] {
                reader.take();
                return frames_of(fast).size() >= frames - 2;
            },
            10s);
        reader.finish();
        return sending_took;
    }

    void stop_sending() {
        stop = true;
        if (sender.joinable()) {
            sender.join();
        }
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
    std::mutex mutex;
    std::vector<std::shared_ptr<rtmp::rtmp_server_connection>> accepted;

  private:
    // The sender's thread: the publisher's socket is its own until joined.
    void send_all(const background_reader& fast) {
        try {
            const auto started = std::chrono::steady_clock::now();
            for (std::uint32_t i = 0; i < frames; ++i) {
                while (fast.bytes_read() + frames_ahead * frame_size < i * frame_size && !stop) {
                    std::this_thread::sleep_for(1ms);
                }
                publisher->send(9, stream, i * 40, frame(i, i % 25 == 0, frame_size));
                std::this_thread::sleep_until(started + i * frame_interval);
            }
            sending_took = std::chrono::steady_clock::now() - started;
            frames_sent = true;
            for (std::uint32_t time = frames * 40; !stop; time += 40) {
                publisher->send(8, stream, time, hex_bytes("af 01 2110"));
                std::this_thread::sleep_for(40ms);
            }
        } catch (const std::exception&) {
            // The server closed the publisher: the checks tell.
        }
    }

    std::thread sender;
    std::atomic<bool> stop{false};
    std::atomic<bool> frames_sent{false};
    std::chrono::steady_clock::duration sending_took{};
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
            std::this_thread::sleep_for(50ms);
        }
    });
    const auto took = publish(fast);
    stop_sending();
    done = true;
    slow_reader.join();
    slow.receive_for(1s);

    EXPECT_LT(took, held_up) << "the publisher was held up";
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

    EXPECT_LT(took, held_up) << "the publisher was held up";
    expect_everything(frames_of(fast));
    // Watched from the server's side: reading on the client's would let the
    // stalled player catch up.
    EXPECT_TRUE(eventually([&] { return connection(2)->closed(); }, 10s))
        << "the stalled player is dropped";
    EXPECT_TRUE(stalled.socket().wait_closed(3s));
    EXPECT_FALSE(connection(0)->closed()) << "the publisher stays";
    stop_sending();
    EXPECT_FALSE(publisher->socket().wait_closed(100ms));
    EXPECT_TRUE(registry.exists("s"));
}

}  // namespace
