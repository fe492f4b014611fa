#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "rtmp/clock.hpp"
#include "rtmp/rtmp_chunkstreams.hpp"
#include "rtmp/tests/rtmp_test_support.hpp"

namespace {

using namespace rtmp_test;
using rtmp::rtmp_chunkstreams;

std::string bytes_of(char c, std::size_t n) {
    return std::string(n, c);
}

// A chunk layer over a capturing connection, collecting what it hands on.
struct chunk_fixture {
    capture_owner owner;
    rtmp_chunkstreams chunks{owner.callbacks, time_of_day_ms()};
    std::vector<message> received;
    std::vector<std::string> events;

    explicit chunk_fixture(rtmp::pending_message_budget* budget = nullptr) : owner(budget) {
        chunks.message_handler = [this](const std::uint8_t* data, std::uint32_t size,
                                        std::uint32_t timestamp, std::uint8_t type,
                                        std::uint32_t stream_id) {
            received.push_back({0, type, stream_id, timestamp,
                                std::string(reinterpret_cast<const char*>(data), size)});
        };
        const auto note = [this](std::string name) {
            return [this, name](std::uint32_t value) {
                events.push_back(name + " " + std::to_string(value));
            };
        };
        chunks.ack_handler = note("ack");
        chunks.stream_begin_handler = note("begin");
        chunks.stream_eof_handler = note("eof");
        chunks.stream_dry_handler = note("dry");
        chunks.stream_is_recorded_handler = note("recorded");
        chunks.ping_request_handler = note("ping");
        chunks.ping_response_handler = note("pong");
        chunks.set_buffer_length_handler = [this](std::uint32_t id, std::uint32_t ms) {
            events.push_back("buffer " + std::to_string(id) + " " + std::to_string(ms));
        };
        chunks.event26_handler = [this] { events.push_back("26"); };
        chunks.event27_handler = [this](const std::uint8_t* data, std::uint32_t size) {
            events.push_back("27 " + std::string(reinterpret_cast<const char*>(data), size));
        };
    }

    void feed(const std::string& bytes, std::size_t piece = SIZE_MAX) {
        for (std::size_t at = 0; at < bytes.size(); at += piece) {
            const std::string part = bytes.substr(at, piece);
            chunks.on_data(reinterpret_cast<const std::uint8_t*>(part.data()),
                           static_cast<std::uint32_t>(part.size()));
        }
    }

    // What was sent, decoded as a client would.
    std::vector<message> sent_messages() {
        chunk_decoder decoder;
        decoder.feed(owner.take());
        return decoder.messages;
    }
};

struct expected_message {
    std::uint8_t type;
    std::uint32_t stream_id;
    std::uint32_t timestamp;
    std::string body;
};

void expect_messages(const std::vector<message>& got, const std::vector<expected_message>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE("message " + std::to_string(i));
        EXPECT_EQ(got[i].type, want[i].type);
        EXPECT_EQ(got[i].stream_id, want[i].stream_id);
        EXPECT_EQ(got[i].timestamp, want[i].timestamp);
        EXPECT_EQ(got[i].body, want[i].body);
    }
}

TEST(ChunkInput, ReassemblesEveryHeaderFormatWhateverTheReadBoundaries) {
    struct input_case {
        const char* what;
        std::string bytes;
        std::vector<expected_message> messages;
    };
    const std::string a128 = bytes_of('a', 128), a72 = bytes_of('a', 72);
    const input_case cases[] = {
        {"one chunk", hex_bytes("03 000010 000005 14 01000000") + "hello", {{20, 1, 16, "hello"}}},
        {"a message over two chunks",
         hex_bytes("04 000000 0000c8 09 01000000") + a128 + hex_bytes("c4") + a72,
         {{9, 1, 0, a128 + a72}}},
        {"formats 1, 2 and 3 add their deltas",
         hex_bytes("05 000064 000003 08 01000000") + "abc" + hex_bytes("45 000014 000002 08") +
             "de" + hex_bytes("85 00000a") + "fg" + hex_bytes("c5") + "hi",
         {{8, 1, 100, "abc"}, {8, 1, 120, "de"}, {8, 1, 130, "fg"}, {8, 1, 140, "hi"}}},
        {"extended timestamps, repeated in format 3 chunks",
         hex_bytes("06 ffffff 0000c8 09 01000000 01000000") + a128 + hex_bytes("c6 01000000") +
             a72 + hex_bytes("c6 00000010") + a128 + hex_bytes("c6 00000010") + a72,
         {{9, 1, 0x01000000, a128 + a72}, {9, 1, 0x01000010, a128 + a72}}},
        {"two- and three-byte chunk stream ids",
         hex_bytes("00 06 000001 000001 12 00000000") + "x" +
             hex_bytes("01 50 01 000002 000001 08 02000000") + "y",
         {{18, 0, 1, "x"}, {8, 2, 2, "y"}}},
        {"an empty message completes with its first chunk",
         hex_bytes("03 000007 000000 14 00000000"),
         {{20, 0, 7, ""}}},
        {"chunk streams interleave",
         hex_bytes("03 000001 0000c8 09 01000000") + a128 +
             hex_bytes("04 000002 000001 08 01000000") + "z" + hex_bytes("c3") + a72,
         {{8, 1, 2, "z"}, {9, 1, 1, a128 + a72}}},
    };
    for (const auto& c : cases) {
        for (std::size_t piece : {SIZE_MAX, std::size_t(1), std::size_t(7)}) {
            SCOPED_TRACE(std::string(c.what) + ", reads of " + std::to_string(piece));
            chunk_fixture f;
            f.feed(c.bytes, piece);
            expect_messages(f.received, c.messages);
        }
    }
}

TEST(ChunkInput, AFormat1Or2ChunkStartsAFreshMessageAfterAnUnfinishedOne) {
    const std::string fresh = bytes_of('n', 131);
    struct restart_case {
        const char* what;
        std::string bytes, body;
    };
    const restart_case cases[] = {
        {"format 1", hex_bytes("43 000005 000003 08") + "new", "new"},
        {"format 2, same length",
         hex_bytes("83 000005") + fresh.substr(0, 128) + hex_bytes("c3") + "nnn", fresh},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        chunk_fixture f;
        // A 131-byte message whose last 3 bytes never come...
        f.feed(hex_bytes("03 000000 000083 08 01000000") + bytes_of('o', 128));
        // ...then a new message under a shorter header on the same stream.
        f.feed(c.bytes);
        ASSERT_EQ(f.received.size(), 1u);
        EXPECT_EQ(f.received[0].body, c.body) << "no bytes of the unfinished message";
        EXPECT_EQ(f.received[0].timestamp, 5u);
    }
}

TEST(ChunkInput, SetChunkSizeAppliesToTheChunksThatFollow) {
    chunk_fixture f;
    const std::string body = bytes_of('b', 300);
    f.feed(hex_bytes("02 000000 000004 01 00000000 00010000") +
           hex_bytes("03 000000 00012c 09 01000000") + body);
    ASSERT_EQ(f.received.size(), 1u) << "65536 is accepted and used at once";
    EXPECT_EQ(f.received[0].body, body);
    EXPECT_EQ(f.chunks.input_chunk_size(), 65536u);

    chunk_fixture g;
    g.feed(hex_bytes("03 000000 00012c 09 01000000") + body.substr(0, 128));
    g.feed(hex_bytes("02 000000 000004 01 00000000 00001000"));  // 4096
    g.feed(hex_bytes("c3") + body.substr(128));
    ASSERT_EQ(g.received.size(), 1u) << "open chunk streams take the new size too";
    EXPECT_EQ(g.received[0].body, body);
}

TEST(ChunkInput, ControlMessagesAreAppliedOnlyOnChunkStream2AndMessageStream0) {
    chunk_fixture f;
    f.feed(hex_bytes("02 000000 000004 03 00000000 0000002a"));  // acknowledgement
    f.feed(hex_bytes("02 000000 000004 05 00000000 00001000"));  // window ack size
    f.feed(hex_bytes("03 000000 000004 05 00000000 00000040"));  // type 5 on stream 3
    f.feed(hex_bytes("02 000000 000004 05 01000000 00000040"));  // on message stream 1
    f.feed(hex_bytes("02 000000 000003 14 00000000") + "cmd");   // anything else on 2: dropped
    EXPECT_EQ(f.events, (std::vector<std::string>{"ack 42"}));
    EXPECT_EQ(f.chunks.input_window(), 4096u);
    expect_messages(f.received,
                    {{5, 0, 0, hex_bytes("00000040")}, {5, 1, 0, hex_bytes("00000040")}});
    EXPECT_TRUE(f.owner.sent.empty());
}

TEST(ChunkInput, SetPeerBandwidthIsAnsweredOnlyWhenTheWindowChanges) {
    chunk_fixture f;
    f.feed(hex_bytes("02 000000 000005 06 00000000 002625a0 02"));  // 2500000: unchanged
    EXPECT_TRUE(f.owner.sent.empty());
    f.feed(hex_bytes("02 000000 000005 06 00000000 00100000 01"));
    EXPECT_EQ(f.chunks.output_window(), 0x100000u);
    EXPECT_EQ(f.chunks.peer_bandwidth_limit(), 1);
    const auto sent = f.sent_messages();
    ASSERT_EQ(sent.size(), 1u) << "answered and flushed at once";
    EXPECT_EQ(sent[0].csid, 2u);
    EXPECT_EQ(sent[0].type, 5);
    EXPECT_EQ(sent[0].body, hex_bytes("00100000"));
}

TEST(ChunkInput, AbortDropsAnUnfinishedMessage) {
    chunk_fixture f;
    f.feed(hex_bytes("03 000000 0000c8 09 01000000") + bytes_of('x', 128));
    f.feed(hex_bytes("02 000000 000004 02 00000000 00000003"));
    f.feed(hex_bytes("03 000001 000002 09 01000000") + "ok");
    expect_messages(f.received, {{9, 1, 1, "ok"}});
}

TEST(ChunkInput, UserControlEventsReachTheirHandlers) {
    struct event_case {
        std::string body;
        std::vector<std::string> events;
    };
    const event_case cases[] = {
        {hex_bytes("0000 00000001"), {"begin 1"}},
        {hex_bytes("0001 00000002"), {"eof 2"}},
        {hex_bytes("0002 00000003"), {"dry 3"}},
        {hex_bytes("0003 00000000 00000bb8"), {"buffer 0 3000"}},
        {hex_bytes("0004 00000005"), {"recorded 5"}},
        {hex_bytes("0006 0000abcd"), {"ping 43981"}},
        {hex_bytes("0007 0000abcd"), {"pong 43981"}},
        {hex_bytes("001a"), {"26"}},
        {hex_bytes("001a 0102"), {"26"}},
        {hex_bytes("001b") + "tail", {"27 tail"}},
        {hex_bytes("0005 00000001"), {}},
        {hex_bytes("0008"), {}},
        {hex_bytes("001c 00000001 00"), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body.size());
        chunk_fixture f;
        f.feed(hex_bytes("02 000000") + be32(static_cast<std::uint32_t>(c.body.size())).substr(1) +
               hex_bytes("04 00000000") + c.body);
        EXPECT_EQ(f.events, c.events);
        EXPECT_TRUE(f.received.empty());
    }
}

TEST(ChunkInput, PingRequestIsAnsweredAtOnce) {
    chunk_fixture f;
    const std::uint32_t before = time_of_day_ms();
    f.feed(hex_bytes("02 000000 000006 04 00000000 0006 00000001"));
    const auto sent = f.sent_messages();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].type, 4);
    EXPECT_EQ(sent[0].body.substr(0, 2), hex_bytes("0007"));
    // The answer carries the server clock, as its body and its timestamp.
    EXPECT_EQ(sent[0].body.substr(2), be32(sent[0].timestamp));
    EXPECT_LE(sent[0].timestamp - before, 1000u);
}

TEST(ChunkInput, AcknowledgesEveryWindowOfReceivedBytes) {
    chunk_fixture f;
    // Messages of 65536 bytes in one chunk each (7 + 65536 + 12 bytes).
    std::string stream = hex_bytes("02 000000 000004 01 00000000 00010000");
    const std::string message = hex_bytes("03 000000 010000 09 01000000") + bytes_of('m', 65536);
    while (stream.size() < 5100000) {
        stream += message;
    }
    std::vector<std::size_t> acked_at;
    chunk_decoder decoder;
    for (std::size_t at = 0; at < stream.size(); at += 8192) {
        f.feed(stream.substr(at, 8192));
        decoder.feed(f.owner.take());
        for (const auto& m : decoder.messages) {
            ASSERT_EQ(m.type, 3);
            EXPECT_EQ(m.body, be32(static_cast<std::uint32_t>(std::min(at + 8192, stream.size()))))
                << "the running total of the read that reached the window";
            acked_at.push_back(at);
        }
        decoder.messages.clear();
    }
    // The count starts again after each acknowledgement.
    const std::size_t reads_per_window = (2500000 + 8191) / 8192;
    ASSERT_EQ(acked_at.size(), 2u);
    EXPECT_EQ(acked_at[0], (reads_per_window - 1) * 8192);
    EXPECT_EQ(acked_at[1], (2 * reads_per_window - 1) * 8192);
}

TEST(ChunkInput, ProtocolViolationsThrowTheirMessages) {
    struct violation {
        std::string bytes;
        const char* error;
    };
    std::string many_streams;
    for (std::uint32_t csid = 3; csid < 3 + 129; ++csid) {
        many_streams += encode_message(csid, 8, 1, 0, "a");
    }
    const violation cases[] = {
        {hex_bytes("03 000000 080001 09 01000000"), "Message size is too big"},
        {many_streams, "Too many input chunk streams"},
        {hex_bytes("43 000000 000001 09") + "a", "Invalid chunk stream"},
        {hex_bytes("83 000000") + "a", "Invalid chunk stream"},
        {hex_bytes("c3") + "a", "Invalid chunk stream"},
        {hex_bytes("03 000000 0000c8 09 01000000") + bytes_of('a', 128) +
             hex_bytes("03 000000 000001 09 01000000") + "a",
         "There is a pending message"},
        {hex_bytes("02 000000 000003 01 00000000 000100"), "Bad SetChunkSize message format"},
        {hex_bytes("02 000000 000004 01 00000000 0000007f"), "Bad ChunkSize"},
        {hex_bytes("02 000000 000004 01 00000000 00010001"), "Bad ChunkSize"},
        {hex_bytes("02 000000 000005 02 00000000 0000000300"), "Bad abortMessage message format"},
        {hex_bytes("02 000000 000004 02 00000000 00000009"), "Invalid chunk stream"},
        {hex_bytes("02 000000 000002 03 00000000 0000"), "Bad windowAck message format"},
        {hex_bytes("02 000000 000005 05 00000000 0000004000"), "Bad windowAckSize message format"},
        {hex_bytes("02 000000 000004 05 00000000 0000003f"), "Bad windowAckSize value"},
        {hex_bytes("02 000000 000004 06 00000000 00000040"), "Bad setPeerBandwidth message format"},
        {hex_bytes("02 000000 000005 06 00000000 0000003f 02"), "Bad setPeerBandwidth value"},
        {hex_bytes("02 000000 000001 04 00000000 00"), "Bad userControl message format"},
        {hex_bytes("02 000000 000005 04 00000000 0000 000001"), "Bad userControl message format"},
        {hex_bytes("02 000000 000006 04 00000000 0003 00000001"), "Bad userControl message format"},
        {hex_bytes("02 000000 000007 04 00000000 0007 00000001 00"),
         "Bad userControl message format"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        chunk_fixture f;
        try {
            f.feed(c.bytes);
            ADD_FAILURE() << "accepted";
        } catch (const std::exception& e) {
            EXPECT_STREQ(e.what(), c.error);
        }
    }
    chunk_fixture largest;
    largest.feed(hex_bytes("02 000000 000004 01 00000000 00010000") +
                 encode_message(3, 9, 1, 0, bytes_of('L', 524288), 65536));
    ASSERT_EQ(largest.received.size(), 1u) << "524288 bytes is the largest message taken";
}

// Unfinished messages of the largest size, in chunks of 65536 bytes: the
// fifth chunk of each makes its body hold the whole message's room.
constexpr std::uint32_t largest = rtmp_chunkstreams::max_message_size;
const std::string chunks_of_65536 = hex_bytes("02 000000 000004 01 00000000 00010000");

std::string unfinished_largest(std::uint32_t csid, std::uint32_t chunks = 7) {
    return unfinished_message(csid, largest, chunks, 65536);
}

std::string error_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "accepted";
}

TEST(ChunkPendingMemory, UnfinishedMessagesOfAConnectionHoldNoMoreThanItsBound) {
    // One connection with an unfinished message of the largest size on each
    // of its chunk streams: refused once they hold the bound, not before.
    chunk_fixture f;
    f.feed(chunks_of_65536);
    constexpr std::uint32_t fit = rtmp_chunkstreams::max_pending_bytes / largest;
    for (std::uint32_t csid = 3; csid < 3 + fit; ++csid) {
        ASSERT_EQ(error_of([&] { f.feed(unfinished_largest(csid)); }), "accepted") << csid;
    }
    EXPECT_EQ(f.chunks.pending_bytes(), rtmp_chunkstreams::max_pending_bytes);
    EXPECT_EQ(error_of([&] { f.feed(unfinished_largest(3 + fit, 1)); }),
              "Pending messages are too big");
    EXPECT_TRUE(f.received.empty());
}

TEST(ChunkPendingMemory, OnlyUnfinishedMessagesCount) {
    chunk_fixture f;
    f.feed(chunks_of_65536);
    // Far more than the bound in complete messages, each with its last
    // chunk held back until the others are in.
    const std::string body(largest, 'c');
    for (std::uint32_t round = 0; round < 3; ++round) {
        std::string last_chunks;
        for (std::uint32_t csid = 3; csid < 3 + 8; ++csid) {
            const std::string whole = encode_message(csid, 9, 1, 0, body, 65536);
            const std::size_t tail = 1 + 65536;
            f.feed(whole.substr(0, whole.size() - tail));
            last_chunks += whole.substr(whole.size() - tail);
        }
        f.feed(last_chunks);
        EXPECT_EQ(f.chunks.pending_bytes(), 0u) << "a complete message gives its room back";
    }
    EXPECT_EQ(f.received.size(), 24u);

    // An abort gives an unfinished message's room back; so does a new
    // message that takes the place of one that was never finished.
    for (std::uint32_t csid = 3; csid < 3 + 8; ++csid) {
        f.feed(unfinished_largest(csid));
    }
    f.feed(hex_bytes("02 000000 000004 02 00000000 00000003"));
    f.feed(hex_bytes("44 000000 000001 09") + "n");
    EXPECT_EQ(f.chunks.pending_bytes(), 6 * largest);
    f.feed(unfinished_largest(11) + unfinished_largest(12));
    EXPECT_EQ(f.chunks.pending_bytes(), rtmp_chunkstreams::max_pending_bytes);
}

TEST(ChunkPendingMemory, BeyondOneLargestMessageConnectionsShareTheServersBudget) {
    rtmp::pending_message_budget budget(2 * largest);
    auto first = std::make_unique<chunk_fixture>(&budget);
    chunk_fixture second(&budget);
    first->feed(chunks_of_65536);
    second.feed(chunks_of_65536);
    // One message of the largest size is a connection's own...
    first->feed(unfinished_largest(3));
    second.feed(unfinished_largest(3));
    EXPECT_EQ(budget.used(), 0u);
    // ...what it holds beyond that comes from the budget, while it lasts.
    first->feed(unfinished_largest(4) + unfinished_largest(5));
    EXPECT_EQ(budget.used(), 2 * largest);
    EXPECT_EQ(error_of([&] { second.feed(unfinished_largest(4, 1)); }),
              "Server has no room for pending messages");
    EXPECT_EQ(budget.used(), 2 * largest);
    // A connection that goes gives back what it drew.
    first.reset();
    EXPECT_EQ(budget.used(), 0u);
    chunk_fixture third(&budget);
    third.feed(chunks_of_65536 + unfinished_largest(3) + unfinished_largest(4));
    EXPECT_EQ(budget.used(), largest);
}

// Writes messages on one output chunk stream and returns the bytes sent.
struct writer_fixture : chunk_fixture {
    rtmp::output_chunkstream& stream = chunks.open_output_stream(3);
    void write(std::uint8_t type, std::uint32_t stream_id, std::uint32_t timestamp,
               const std::string& body, rtmp::output_chunkstream* on = nullptr) {
        chunks.write_message(on ? *on : stream, type, stream_id, timestamp, body.data(),
                             static_cast<std::uint32_t>(body.size()));
    }
    std::string flushed() {
        chunks.flush();
        return owner.take();
    }
};

TEST(ChunkOutput, PicksTheShortestHeaderThePreviousMessageAllows) {
    writer_fixture f;
    const std::string a128 = bytes_of('a', 128), a72 = bytes_of('a', 72);
    struct step {
        const char* what;
        std::uint8_t type;
        std::uint32_t stream_id, timestamp;
        std::string body, bytes;
    };
    const step steps[] = {
        {"first message: format 0", 20, 1, 1000, "abc",
         hex_bytes("03 0003e8 000003 14 01000000") + "abc"},
        {"new delta: format 2", 20, 1, 1010, "xyz", hex_bytes("83 00000a") + "xyz"},
        {"same delta: format 3", 20, 1, 1020, "123", hex_bytes("c3") + "123"},
        {"new length: format 1", 20, 1, 1030, "4567", hex_bytes("43 00000a 000004 14") + "4567"},
        {"new type: format 1", 18, 1, 1030, "4567", hex_bytes("43 000000 000004 12") + "4567"},
        {"time going back: format 0", 18, 1, 1000, "4567",
         hex_bytes("03 0003e8 000004 12 01000000") + "4567"},
        {"other message stream: format 0", 18, 2, 1000, "4567",
         hex_bytes("03 0003e8 000004 12 02000000") + "4567"},
        {"extended timestamp, repeated in every chunk", 9, 3, 0x01000000, a128 + a72,
         hex_bytes("03 ffffff 0000c8 09 03000000 01000000") + a128 + hex_bytes("c3 01000000") +
             a72},
        {"the same delta again: format 3 still carries it", 9, 3, 0x02000000, a128 + a72,
         hex_bytes("c3 01000000") + a128 + hex_bytes("c3 01000000") + a72},
        {"extended delta in format 1", 9, 3, 0x03000000, "abc",
         hex_bytes("43 ffffff 000003 09 01000000") + "abc"},
        {"small delta after it", 9, 3, 0x03000021, "abc", hex_bytes("83 000021") + "abc"},
        {"extended delta in format 2", 9, 3, 0x05000021, "abc",
         hex_bytes("83 ffffff 02000000") + "abc"},
        {"empty message: one chunk", 8, 3, 0x05000021, "", hex_bytes("43 000000 000000 08")},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.what);
        f.write(s.type, s.stream_id, s.timestamp, s.body);
        EXPECT_EQ(f.flushed(), s.bytes);
    }
}

TEST(ChunkOutput, WritesLongChunkStreamIdsInTwoAndThreeBytes) {
    writer_fixture f;
    f.write(8, 1, 0, "a", &f.chunks.open_output_stream(100));
    f.write(8, 1, 0, "b", &f.chunks.open_output_stream(400));
    f.write(8, 1, 0, "c", &f.chunks.open_output_stream(319));
    EXPECT_EQ(f.flushed(), hex_bytes("00 24 000000 000001 08 01000000") + "a" +
                               hex_bytes("01 50 01 000000 000001 08 01000000") + "b" +
                               hex_bytes("00 ff 000000 000001 08 01000000") + "c");
}

TEST(ChunkOutput, WhatItWritesDecodesToTheSameMessagesAtBothChunkSizes) {
    std::mt19937 random(42);
    for (bool large_chunks : {false, true}) {
        SCOPED_TRACE(large_chunks ? "chunk size 4096" : "chunk size 128");
        writer_fixture f;
        if (large_chunks) {
            f.chunks.send_chunk_size();
        }
        std::vector<expected_message> written;
        std::uint32_t timestamp = 0xFFFF00;
        for (int i = 0; i < 300; ++i) {
            const std::uint8_t type = random() % 3 == 0 ? 8 : 9;
            const std::uint32_t step = random() % 4 == 0 ? 0 : random() % 70;
            timestamp = random() % 50 == 0 ? timestamp - 500 : timestamp + step;
            std::string body(random() % 3 == 0 ? random() % 20000 : random() % 300, '\0');
            for (char& c : body) {
                c = static_cast<char>(random());
            }
            const std::uint32_t csid = 3 + random() % 3, stream_id = 1 + random() % 2;
            f.write(type, stream_id, timestamp, body, &f.chunks.open_output_stream(csid));
            written.push_back({type, stream_id, timestamp, body});
        }
        const std::string bytes = f.flushed();
        chunk_decoder decoder;
        decoder.feed(bytes);
        std::erase_if(decoder.messages, [](const message& m) { return m.type == 1; });
        expect_messages(decoder.messages, written);
        // Our own parser reads the same.
        chunk_fixture back;
        back.feed(bytes, 1000);
        expect_messages(back.received, written);
    }
}

TEST(ChunkOutput, SendChunkSizeFlushesFirstAndThenCutsAt4096) {
    writer_fixture f;
    f.write(9, 1, 0, bytes_of('s', 200));
    EXPECT_TRUE(f.owner.sent.empty()) << "nothing leaves before a flush";
    f.chunks.send_chunk_size();
    EXPECT_FALSE(f.owner.sent.empty()) << "chunks written at 128 left before the change";
    f.write(9, 1, 0, bytes_of('t', 5000));
    f.chunks.send_chunk_size();  // a second call changes nothing
    chunk_decoder decoder;
    decoder.feed(f.flushed());
    ASSERT_EQ(decoder.messages.size(), 3u);
    expect_messages(decoder.messages, {{9, 1, 0, bytes_of('s', 200)},
                                       {1, 0, decoder.messages[1].timestamp, be32(4096)},
                                       {9, 1, 0, bytes_of('t', 5000)}});
    EXPECT_EQ(decoder.formats, (std::vector<unsigned>{0, 3, 0, 1, 3}))
        << "200 bytes in two chunks of 128, 5000 bytes in two of 4096";
    EXPECT_EQ(f.chunks.output_chunk_size(), 4096u);
    EXPECT_EQ(f.chunks.open_output_stream(7).chunk_size, 4096u) << "new streams take it too";
}

TEST(ChunkOutput, ControlSendersWriteOnChunkStream2) {
    writer_fixture f;
    f.chunks.send_window_ack_size(2500000);
    f.chunks.send_peer_bandwidth();
    f.chunks.send_stream_begin(1);
    f.chunks.send_stream_eof(2);
    f.chunks.send_stream_dry(3);
    f.chunks.send_buffer_empty(4);
    f.chunks.send_buffer_ready(5);
    f.chunks.send_stream_is_recorded(6);
    EXPECT_TRUE(f.owner.sent.empty());
    f.chunks.send_ack(77);
    const auto sent = f.sent_messages();
    const std::pair<std::uint8_t, std::string> expected[] = {
        {5, hex_bytes("002625a0")},      {6, hex_bytes("002625a0 02")},
        {4, hex_bytes("0000 00000001")}, {4, hex_bytes("0001 00000002")},
        {4, hex_bytes("0002 00000003")}, {4, hex_bytes("001f 00000004")},
        {4, hex_bytes("0020 00000005")}, {4, hex_bytes("0004 00000006")},
        {3, hex_bytes("0000004d")},
    };
    ASSERT_EQ(sent.size(), std::size(expected)) << "send_ack flushes by itself";
    for (std::size_t i = 0; i < sent.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(sent[i].csid, 2u);
        EXPECT_EQ(sent[i].stream_id, 0u);
        EXPECT_EQ(sent[i].type, expected[i].first);
        EXPECT_EQ(sent[i].body, expected[i].second);
        EXPECT_LT(sent[i].timestamp, 1000u) << "relative to the handshake's time";
    }
}

TEST(ChunkOutput, OutputChunkStreamsAreLimitedAndClosable) {
    writer_fixture f;  // streams 2 and 3 are open
    for (std::uint32_t csid = 4; csid < 4 + 126; ++csid) {
        f.chunks.open_output_stream(csid);
    }
    EXPECT_FALSE(f.chunks.has_room_for_output_streams(1));
    EXPECT_EQ(&f.chunks.open_output_stream(50), f.chunks.find_output_stream(50))
        << "an open stream is returned, not counted again";
    try {
        f.chunks.open_output_stream(500);
        ADD_FAILURE() << "a 129th stream was opened";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Too many output chunk streams");
    }
    f.chunks.close_output_stream(50);
    f.chunks.close_output_stream(9999);
    f.chunks.close_output_stream(2);
    EXPECT_NE(f.chunks.find_output_stream(2), nullptr) << "the control stream stays";
    EXPECT_TRUE(f.chunks.has_room_for_output_streams(1));
    EXPECT_EQ(f.chunks.open_output_stream(500).csid, 500u);
}

TEST(ChunkOutput, AHeldBlockGoesBackToItsPoolWithTheLayer) {
    capture_owner owner;
    {
        rtmp_chunkstreams chunks(owner.callbacks, 0);
        chunks.send_stream_begin(1);
        EXPECT_EQ(owner.pool.pool(12).outstanding(), 1u);
    }
    EXPECT_EQ(owner.pool.pool(12).outstanding(), 0u);
    EXPECT_TRUE(owner.sent.empty());
}

}  // namespace
