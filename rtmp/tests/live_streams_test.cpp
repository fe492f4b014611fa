#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "rtmp/rtmp_live_stream_player.hpp"
#include "rtmp/rtmp_live_streams.hpp"
#include "rtmp/tests/rtmp_test_support.hpp"
#include "rtmp/tests/stack_client.hpp"

namespace {

using namespace rtmp_test;
using rtmp::rtmp_live_stream;
using rtmp::rtmp_live_stream_player;
using rtmp::rtmp_live_streams;

// Media messages by their first bytes; the rest does not matter here.
const std::string avc_header = hex_bytes("17 00 000000 01 64001f ffe1 0019 6764001f");
const std::string keyframe = hex_bytes("17 01 000000 00000010 6588840021ff");
const std::string inter = hex_bytes("27 01 000000 00000010 419a21ff00ff");
const std::string aac_header = hex_bytes("af 00 1210");
const std::string aac = hex_bytes("af 01 21 10");
const std::string metadata = amf0_bytes()
                                 .string("@setDataFrame")
                                 .string("onMetaData")
                                 .begin_object()
                                 .key("width")
                                 .number(320)
                                 .end_object();

// A send queue whose pending count the test sets: its work never finishes.
struct stalled_queue {
    block_malloc pool{16};
    rtmp::rtmp_send_queue queue{5, [this](rtmp::output_item& b) { in_work = std::move(b); },
                                [](rtmp::output_item&, rtmp::output_item&) { return false; }};
    rtmp::output_item in_work;

    void set_pending(std::uint32_t pending) {
        while (queue.pending() > pending || (pending == 0 && !queue.idle())) {
            queue.next();
        }
        while (queue.idle() || queue.pending() < pending) {
            queue.push(rtmp::output_item(block_buffer(pool)));
        }
    }
};

// A player on stream 1 of a stack, and what its client receives. The test's
// thread is the connection's: it runs the io context the player is delivered
// on (its own unless the test shares one).
struct player_fixture {
    rtmp_live_streams& registry;
    stack_client client;
    stalled_queue congestion;
    boost::asio::io_context own_thread;
    boost::asio::io_context& thread;
    std::unique_ptr<rtmp_live_stream_player> player;

    // `connected` clients get the chunk size of a connect.
    explicit player_fixture(rtmp_live_streams& streams, boost::asio::io_context* shared = nullptr,
                            bool connected = false)
        : registry(streams), thread(shared != nullptr ? *shared : own_thread) {
        if (connected) {
            client.stack.connect_handler = [](amf0_object&, std::string&) { return true; };
            client.send(0, command("connect", 1).begin_object().end_object());
            client.replies();
        }
        client.create_stream();
        player = std::make_unique<rtmp_live_stream_player>(registry, congestion.queue,
                                                           *client.stack.netstream(1), thread);
    }
    ~player_fixture() { player.reset(); }

    // Runs what the publisher handed to the player's thread so far, and
    // leaves the io context ready to run what comes next.
    void deliver() {
        thread.poll();
        thread.restart();
    }

    // Calls into the player as a command does: after what the thread had to
    // deliver before.
    template <class Call>
    auto as_command(Call call) {
        deliver();
        return call(*player);
    }

    bool play(double start, std::string_view name = "s") {
        return as_command([&](rtmp_live_stream_player& p) { return p.play(start, name); });
    }

    // Statuses by code, media as "video@time:first byte", data by its name.
    std::vector<std::string> received() {
        deliver();
        client.stack.netstream(1)->flush();
        client.decoder.feed(client.owner.take());
        std::vector<std::string> out;
        for (const auto& m : client.decoder.messages) {
            char media[48];
            switch (m.type) {
                case 8:
                case 9:
                    std::snprintf(media, sizeof media, "%s@%u:%02x%s",
                                  m.type == 9 ? "video" : "audio", m.timestamp,
                                  m.body.empty() ? 0 : static_cast<std::uint8_t>(m.body[0]),
                                  m.body.size() > 1 && m.body[1] == 0 ? " header" : "");
                    out.push_back(media);
                    break;
                case 18:
                    // The command chunk stream carries "|RtmpSampleAccess" at
                    // the clock's time; the media one data at stream time.
                    out.push_back(
                        (m.csid == 6 ? "data " : "data@" + std::to_string(m.timestamp) + " ") +
                        describe_amf0(m.body).substr(0, 12));
                    break;
                case 20: {
                    const std::string text = describe_amf0(m.body);
                    const auto code = text.find("code:'");
                    out.push_back(text.substr(code + 6, text.find('\'', code + 6) - code - 6));
                    break;
                }
                default:
                    break;
            }
        }
        client.decoder.messages.clear();
        return out;
    }
};

void video(rtmp_live_stream& stream, const std::string& body, std::uint32_t time) {
    stream.on_video(reinterpret_cast<const std::uint8_t*>(body.data()),
                    static_cast<std::uint32_t>(body.size()), time);
}

void audio(rtmp_live_stream& stream, const std::string& body, std::uint32_t time) {
    stream.on_audio(reinterpret_cast<const std::uint8_t*>(body.data()),
                    static_cast<std::uint32_t>(body.size()), time);
}

void data(rtmp_live_stream& stream, const std::string& body, std::uint32_t time) {
    buffer_reader reader(body.data(), static_cast<std::uint32_t>(body.size()));
    stream.on_data(reader, time);
}

const std::vector<std::string> play_start = {"NetStream.Play.Reset", "NetStream.Play.Start",
                                             "data '|RtmpSample"};

std::vector<std::string> after(std::vector<std::string> first, std::vector<std::string> then) {
    first.insert(first.end(), then.begin(), then.end());
    return first;
}

TEST(LivePlayer, ALateJoinerStartsWithMetadataHeadersAndAKeyframe) {
    rtmp_live_streams registry;
    rtmp_live_stream* stream = registry.publish("s");
    ASSERT_NE(stream, nullptr);
    data(*stream, metadata, 0);
    video(*stream, avc_header, 0);
    audio(*stream, aac_header, 0);
    video(*stream, keyframe, 40);
    video(*stream, inter, 80);
    audio(*stream, aac, 90);
    video(*stream, inter, 120);

    player_fixture p(registry);
    ASSERT_TRUE(p.play(-2000));
    video(*stream, inter, 160);
    audio(*stream, aac, 170);
    video(*stream, keyframe, 200);
    video(*stream, inter, 240);
    // The replayed messages are older than the newest one, which becomes the
    // player's start: they go out at its start instead of wrapping around.
    EXPECT_EQ(p.received(),
              after(play_start, {"data@0 'onMetaData'", "video@0:17 header", "audio@0:af header",
                                 "audio@50:af", "video@80:17", "video@120:27"}));
    stream->unpublish(registry);
}

TEST(LivePlayer, StartsAtItsStartTimeAndAgainAfterANewPublisher) {
    rtmp_live_streams registry;
    player_fixture p(registry);
    ASSERT_TRUE(p.play(5000)) << "a start of 0 or more plays live before any publisher";
    EXPECT_TRUE(registry.exists("s"));
    rtmp_live_stream* stream = registry.publish("s");
    ASSERT_NE(stream, nullptr);
    video(*stream, keyframe, 70000);
    video(*stream, inter, 70040);
    stream->unpublish(registry);
    EXPECT_TRUE(registry.exists("s")) << "the player keeps the stream";
    stream = registry.publish("s");
    video(*stream, keyframe, 10);
    EXPECT_EQ(p.received(),
              after(play_start, {"NetStream.Play.PublishNotify", "video@5000:17", "video@5040:27",
                                 "video@5040:17", "NetStream.Play.UnpublishNotify",
                                 "NetStream.Play.PublishNotify", "video@5000:17"}));
    stream->unpublish(registry);
}

TEST(LivePlayer, PlayRefusesWithoutSendingAnything) {
    struct refusal {
        const char* what;
        double start;
        bool publish;
    };
    const refusal cases[] = {
        {"live or recorded, nothing live", -2000, false},
        {"the other live-or-recorded start", -2, false},
        {"not a number", std::numeric_limits<double>::quiet_NaN(), true},
        {"a start past 32 bits", 4294967296.0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        rtmp_live_streams registry;
        rtmp_live_stream* stream = c.publish ? registry.publish("s") : nullptr;
        player_fixture p(registry);
        EXPECT_FALSE(p.play(c.start));
        EXPECT_EQ(p.received(), std::vector<std::string>{});
        EXPECT_EQ(registry.exists("s"), c.publish) << "nothing was created";
        if (stream) {
            stream->unpublish(registry);
        }
    }
}

TEST(LivePlayer, PlayPastTheChunkStreamLimitFailsAndTheConnectionGoesOn) {
    rtmp_live_streams registry;
    player_fixture p(registry);
    // Stream 1 and these leave room for one more chunk stream, not two.
    for (int i = 0; i < 124; ++i) {
        ASSERT_NE(p.client.create_stream(), 0u);
    }
    EXPECT_FALSE(p.play(0));
    EXPECT_EQ(p.received(), std::vector<std::string>{});
}

TEST(LivePlayer, ALaggingClientFallsBackToKeyframesAndThenDropsMedia) {
    rtmp_live_streams registry;
    rtmp_live_stream* stream = registry.publish("s");
    player_fixture p(registry);
    ASSERT_TRUE(p.play(0));
    std::uint32_t time = 0;
    const auto frame = [&](const std::string& body) { video(*stream, body, time += 40); };
    // The client's lag as the player's thread sees it when it delivers.
    const auto lag = [&](std::uint32_t pending) {
        p.deliver();
        p.congestion.set_pending(pending);
    };
    frame(keyframe);
    frame(inter);
    lag(33);
    frame(inter);  // sent, but from here on only keyframes
    frame(inter);
    audio(*stream, aac, time);
    frame(keyframe);
    lag(129);
    frame(keyframe);  // dropped, with everything else
    audio(*stream, aac, time);
    lag(0);
    frame(inter);  // what follows a dropped keyframe cannot be decoded
    frame(keyframe);
    frame(inter);
    EXPECT_EQ(p.received(),
              after(play_start, {"video@0:17", "video@40:27", "video@80:27", "audio@120:af",
                                 "video@160:17", "video@280:17", "video@320:27"}));
    stream->unpublish(registry);
}

TEST(LivePlayer, PauseSeekAndReceiveFlagsGateTheMedia) {
    rtmp_live_streams registry;
    rtmp_live_stream* stream = registry.publish("s");
    player_fixture p(registry);
    ASSERT_TRUE(p.play(0));
    video(*stream, keyframe, 1000);
    p.as_command([](rtmp_live_stream_player& player) { player.pause(true, false); });
    video(*stream, keyframe, 1040);
    audio(*stream, aac, 1040);
    p.as_command([](rtmp_live_stream_player& player) { player.pause(false, true); });
    video(*stream, inter, 1080);  // resumes at a keyframe
    video(*stream, keyframe, 1120);
    p.as_command([](rtmp_live_stream_player& player) {
        player.set_receive_video(false);
        player.set_receive_audio(true);
    });
    video(*stream, keyframe, 1160);
    audio(*stream, aac, 1160);
    p.as_command([](rtmp_live_stream_player& player) {
        player.set_receive_audio(false);
        player.set_receive_video(true);
        player.seek(30000);
    });
    audio(*stream, aac, 1200);
    video(*stream, keyframe, 1200);
    EXPECT_EQ(
        p.received(),
        after(play_start, {"video@0:17", "video@0:17", "audio@0:00", "NetStream.Pause.Notify",
                           "NetStream.Unpause.Notify", "NetStream.Play.Start", "video@40:17",
                           "audio@80:af", "video@40:17", "audio@80:00", "NetStream.Seek.Notify",
                           "NetStream.Play.Start", "video@30000:17"}));
    stream->unpublish(registry);
}

TEST(LivePlayer, FlushesOnceItsOutputRunsHalfABufferAhead) {
    rtmp_live_streams registry;
    rtmp_live_stream* stream = registry.publish("s");
    player_fixture p(registry);
    p.as_command([](rtmp_live_stream_player& player) { player.set_buffer_length(400); });
    ASSERT_TRUE(p.play(0));
    p.client.owner.take();
    const auto sent_after = [&](std::uint32_t time) {
        const std::size_t before = p.client.owner.blocks_sent;
        video(*stream, keyframe, time);
        p.deliver();
        return p.client.owner.blocks_sent != before;
    };
    EXPECT_FALSE(sent_after(0));
    EXPECT_FALSE(sent_after(100));
    EXPECT_FALSE(sent_after(200));
    EXPECT_TRUE(sent_after(201)) << "more than half of 400 ms after the last flush";
    EXPECT_FALSE(sent_after(300));
    EXPECT_TRUE(sent_after(150)) << "a step back past the last flush";
    stream->unpublish(registry);
}

// The media a player's client decodes, whole: chunk stream, type, stream
// id, timestamp and body.
std::vector<std::string> media_of(player_fixture& p) {
    p.deliver();
    p.client.stack.netstream(1)->flush();
    p.client.decoder.feed(p.client.owner.take());
    std::vector<std::string> out;
    for (const auto& m : p.client.decoder.messages) {
        if (m.type == 8 || m.type == 9 || (m.type == 18 && m.csid != 6)) {
            out.push_back(std::to_string(m.csid) + "/" + std::to_string(m.type) + "/" +
                          std::to_string(m.stream_id) + "@" + std::to_string(m.timestamp) + " " +
                          m.body);
        }
    }
    p.client.decoder.messages.clear();
    return out;
}

// A player sends the stream's one encoding of each message (a shared body
// behind its own first chunk header) and its client decodes exactly what a
// player that copies every message into its own chunks (its connection has
// another chunk size) sends: frames of several chunks, a data message, and a
// timestamp past 24 bits, whose continuation chunks the shared encoding
// cannot carry.
TEST(LivePlayer, SendsTheSharedEncodingByteForByte) {
    rtmp_live_streams registry;
    rtmp_live_stream* stream = registry.publish("s");
    boost::asio::io_context thread;
    player_fixture copying(registry, &thread, false);
    player_fixture sharing(registry, &thread, true);
    ASSERT_TRUE(copying.play(0));
    ASSERT_TRUE(sharing.play(0));
    std::string big_keyframe = keyframe;
    big_keyframe.resize(10 * 4096 + 17, 'k');  // larger than a block
    std::string big_inter = inter;
    big_inter.resize(4096, 'i');  // exactly one chunk
    data(*stream, metadata, 0);
    video(*stream, big_keyframe, 0);
    audio(*stream, aac, 10);
    video(*stream, big_inter, 40);
    video(*stream, inter, 80);
    video(*stream, big_inter, 0x1000000);
    video(*stream, big_keyframe, 0x1000040);
    EXPECT_EQ(thread.poll(), 1u) << "one hand-over to the thread for the whole batch";

    const auto expected = media_of(copying);
    ASSERT_EQ(expected.size(), 7u);
    EXPECT_EQ(media_of(sharing), expected);
    EXPECT_GT(sharing.client.owner.shared_items, 0u);
    EXPECT_EQ(copying.client.owner.shared_items, 0u);
    // The send queue counts items to see how far a client lags: a frame
    // larger than a block still takes as many items as it would blocks.
    EXPECT_LE(sharing.client.owner.largest_item, std::size_t{1} << 14);
    stream->unpublish(registry);
}

// What the publisher sent before a player joined, and what was still on its
// way to the player's thread then, is not the player's: it starts with the
// replay of the stored messages, then gets what follows, once.
TEST(LivePlayer, AJoinerSkipsWhatWasOnItsWay) {
    rtmp_live_streams registry;
    rtmp_live_stream* stream = registry.publish("s");
    boost::asio::io_context thread;
    player_fixture early(registry, &thread);
    ASSERT_TRUE(early.play(0));
    data(*stream, metadata, 0);
    video(*stream, avc_header, 0);
    video(*stream, keyframe, 40);
    video(*stream, inter, 80);  // not yet delivered when the next one joins

    player_fixture late(registry, &thread);
    // Before the thread runs the delivery that is on its way.
    ASSERT_TRUE(late.player->play(0, "s"));
    video(*stream, inter, 120);
    video(*stream, keyframe, 160);
    EXPECT_EQ(thread.poll(), 1u);
    EXPECT_EQ(early.received(),
              after(play_start, {"data@0 'onMetaData'", "video@0:17 header", "video@40:17",
                                 "video@80:27", "video@120:27", "video@160:17"}));
    EXPECT_EQ(late.received(),
              after(play_start, {"data@0 'onMetaData'", "video@0:17 header", "video@80:17"}));
    stream->unpublish(registry);
    thread.restart();
    EXPECT_EQ(thread.poll(), 1u);
    EXPECT_EQ(late.received(),
              (std::vector<std::string>{"video@80:17", "NetStream.Play.UnpublishNotify"}));
}

TEST(LiveStream, DataMessagesAreStoredPassedOnOrDroppedByTheirName) {
    struct data_case {
        std::string body;
        std::vector<std::string> forwarded;
    };
    const std::string text = amf0_bytes().string("onTextData").begin_object().end_object();
    const data_case cases[] = {
        {metadata, {"'onMetaData' {width:320}"}},
        {amf0_bytes().string("@setDataFrame").string("onCuePoint").number(1), {}},
        {amf0_bytes().string("@clearDataFrame").string("onMetaData"), {}},
        {text, {"'onTextData' {}"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(describe_amf0(c.body));
        rtmp_live_streams registry;
        rtmp_live_stream* stream = registry.publish("s");
        data(*stream, metadata, 0);
        std::vector<std::string> seen;
        rtmp::player_callbacks logger;
        logger.data = [&](buffer_reader& in, std::uint32_t) {
            seen.push_back(describe_amf0(
                std::string_view(reinterpret_cast<const char*>(in.data) + in.pos, in.remaining())));
        };
        stream->add_player(logger);
        seen.clear();
        data(*stream, c.body, 0);
        EXPECT_EQ(seen, c.forwarded);
        if (std::string_view(c.body).find("@clearDataFrame") != std::string_view::npos) {
            seen.clear();
            stream->add_player(logger);
            EXPECT_EQ(seen, std::vector<std::string>{}) << "the store was emptied";
        }
        stream->unpublish(registry);
    }
    rtmp_live_streams registry;
    rtmp_live_stream* stream = registry.publish("s");
    try {
        data(*stream, amf0_bytes().number(1), 0);
        ADD_FAILURE() << "a data message must start with its name";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "AMF data type not equal");
    }
    stream->unpublish(registry);
}

// A sink that keeps what it gets (the recorder) shares the stream's own
// copy of a message whenever the stream makes one: for its players, or to
// store it for them; without players, it gets the publisher's bytes.
TEST(LiveStream, ASinkThatKeepsMessagesSharesTheStreamsCopies) {
    rtmp_live_streams registry;
    rtmp_live_stream* stream = registry.publish("s");
    data(*stream, metadata, 10);
    video(*stream, avc_header, 20);
    audio(*stream, aac_header, 30);

    struct message {
        std::uint8_t type;
        std::uint32_t time;
        std::string bytes;
        bool shared;
        bool operator==(const message&) const = default;
    };
    std::vector<message> got;
    rtmp::player_callbacks sink;
    sink.message = [&](std::uint8_t type, const std::uint8_t* bytes, std::uint32_t size,
                       std::uint32_t time, const std::shared_ptr<const rtmp::live_message>& kept) {
        EXPECT_TRUE(kept == nullptr || bytes == kept->data()) << "the bytes are the copy's";
        got.push_back({type, time, std::string(bytes, bytes + size), kept != nullptr});
    };
    // From the AMF0 string "onMetaData" on.
    const std::string stored_metadata = metadata.substr(metadata.find("onMetaData") - 3);
    const auto late = stream->add_player(sink);
    EXPECT_EQ(got, (std::vector<message>{{18, 30, stored_metadata, true},
                                         {9, 20, avc_header, true},
                                         {8, 30, aac_header, true}}))
        << "what a late joiner needs, at the times it goes out at";

    got.clear();
    video(*stream, keyframe, 40);
    player_fixture viewer(registry);
    ASSERT_TRUE(viewer.play(-1000));
    video(*stream, inter, 80);
    buffer_reader amf3("\x00\x02\x00\x01x", 5);
    stream->on_data_amf3(amf3, 90);
    EXPECT_EQ(got, (std::vector<message>{{9, 40, keyframe, false}, {9, 80, inter, true}}));
    stream->remove_player(late);
    stream->unpublish(registry);
}

TEST(LiveRegistry, AStreamLivesWhileItHasAPublisherOrAPlayer) {
    rtmp_live_streams registry;
    std::vector<std::string> notes;
    rtmp::player_callbacks player;
    player.publish_notify = [&] { notes.push_back("published"); };
    player.unpublish_notify = [&] { notes.push_back("unpublished"); };

    EXPECT_EQ(registry.add_player("s", player, true), -1) << "only an existing stream";
    EXPECT_FALSE(registry.exists("s"));
    const std::int32_t first = registry.add_player("s", player, false);
    const std::int32_t second = registry.add_player("s", player, false);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);

    rtmp_live_stream* stream = registry.publish("s");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(registry.publish("s"), nullptr) << "one publisher at a time";
    stream->unpublish(registry);
    EXPECT_TRUE(registry.exists("s"));
    EXPECT_EQ(notes,
              (std::vector<std::string>{"published", "published", "unpublished", "unpublished"}));

    registry.remove_player("s", first);
    EXPECT_TRUE(registry.exists("s"));
    EXPECT_EQ(registry.add_player("s", player, true), 2) << "keys are not reused at once";
    registry.remove_player("s", 2);
    registry.remove_player("s", second);
    EXPECT_FALSE(registry.exists("s")) << "no publisher and no player left";

    stream = registry.publish("s");
    ASSERT_NE(stream, nullptr);
    stream->unpublish(registry);
    EXPECT_EQ(registry.size(), 0u);
}

TEST(LiveRegistry, APlayerLeavesItsStreamWhenDestroyed) {
    rtmp_live_streams registry;
    {
        player_fixture p(registry);
        ASSERT_TRUE(p.play(-1000, "waiting"));
        EXPECT_TRUE(registry.exists("waiting"));
    }
    EXPECT_FALSE(registry.exists("waiting"));
}

}  // namespace
