#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "rtmp/rtmp_server_stack.hpp"
#include "rtmp/tests/rtmp_test_support.hpp"
#include "rtmp/tests/stack_client.hpp"

namespace {

using namespace rtmp_test;
using rtmp::rtmp_server_netstream;

std::string number_text(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// Binds every handler of each new stream to an entry in the client's log;
// the results of the handlers that answer come from `accept`.
void log_streams(stack_client& client, bool accept = true) {
    client.stack.netstream_created_handler = [&client, accept](rtmp_server_netstream* s) {
        const auto id = std::to_string(s->stream_id());
        s->play_handler = [&client, accept, id](light_string name, double start, double duration,
                                                bool reset) {
            client.log.push_back(id + " play " + name.str() + " " + number_text(start) + " " +
                                 number_text(duration) + (reset ? " reset" : ""));
            return accept;
        };
        s->publish_handler = [&client, accept, id](light_string name, light_string type) {
            client.log.push_back(id + " publish " + name.str() + " " + type.str());
            return accept;
        };
        s->seek_handler = [&client, accept, id](double ms) {
            client.log.push_back(id + " seek " + number_text(ms));
            return accept;
        };
        s->pause_handler = [&client, id](bool pause, bool toggle, double ms) {
            client.log.push_back(id + " pause " +
                                 (toggle  ? "toggle"
                                  : pause ? "on"
                                          : "off") +
                                 " " + number_text(ms));
        };
        s->pause_raw_handler = [&client, id](bool pause, double ms) {
            client.log.push_back(id + " pauseRaw " + (pause ? "on" : "off") + " " +
                                 number_text(ms));
        };
        s->receive_video_handler = [&client, id](bool on) {
            client.log.push_back(id + " receiveVideo " + (on ? "on" : "off"));
        };
        s->receive_audio_handler = [&client, id](bool on) {
            client.log.push_back(id + " receiveAudio " + (on ? "on" : "off"));
        };
        s->buffer_length_handler = [&client, id](std::uint32_t ms) {
            client.log.push_back(id + " buffer " + std::to_string(ms));
        };
        s->close_stream_handler = [&client, id] { client.log.push_back(id + " closeStream"); };
        s->destroy_handler = [&client, id] { client.log.push_back(id + " destroy"); };
        s->call_handler = [&client, id](light_string name, double transaction, buffer_reader&) {
            client.log.push_back(id + " call " + name.str() + " " + number_text(transaction));
        };
    };
}

std::string status(std::uint32_t stream_id, const std::string& level, const std::string& code,
                   const std::string& description) {
    return std::to_string(3 * stream_id + 3) + ":" + std::to_string(stream_id) +
           " cmd 'onStatus' 0 null {level:'" + level + "',code:'" + code + "',description:'" +
           description + "'}";
}

std::string error_reply(double transaction, const std::string& code,
                        const std::string& description) {
    return "3:0 cmd '_error' " + number_text(transaction) + " null {level:'error',code:'" + code +
           "',description:'" + description + "'}";
}

TEST(ConnectCommand, AnAcceptedConnectGetsTheControlMessagesAndTheResultInOrder) {
    struct connect_case {
        const char* what;
        std::string body;
        std::string encoding;
    };
    const connect_case cases[] = {
        {"AMF3 asked for",
         command("connect", 1)
             .begin_object()
             .key("app")
             .string("live")
             .key("objectEncoding")
             .number(3)
             .end_object(),
         "3"},
        {"no objectEncoding",
         command("connect", 7).begin_object().key("app").string("live").end_object(), "0"},
        {"objectEncoding not a number",
         command("connect", 1).begin_object().key("objectEncoding").string("3").end_object(), "0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        stack_client client;
        std::string app;
        client.stack.connect_handler = [&](amf0_object& object, std::string&) {
            if (const amf0_based* value = object.find("app")) {
                app = static_cast<const amf0_string*>(value)->value.str();
            }
            return true;
        };
        client.send(0, c.body);
        EXPECT_EQ(
            client.replies(),
            (std::vector<std::string>{
                "2:0 window 2500000", "2:0 bandwidth 2500000 2", "2:0 chunk 4096", "2:0 event 0 0",
                "3:0 cmd '_result' 1 {fmsVer:'FMS/4,0,0,1121',capabilities:255,mode:1} "
                "{level:'status',code:'NetConnection.Connect.Success',description:'"
                "Connection succeeded',objectEncoding:" +
                    c.encoding + "}",
                "3:0 cmd 'onBWDone' 0 null"}));
        if (std::string(c.what) == "no objectEncoding") {
            EXPECT_EQ(app, "live");
        }
    }
}

TEST(ConnectCommand, TheResultIsWrittenByteForByte) {
    stack_client client;
    client.stack.connect_handler = [](amf0_object&, std::string&) { return true; };
    client.send(0,
                command("connect", 1).begin_object().key("objectEncoding").number(3).end_object());
    client.decoder.feed(client.owner.take());
    ASSERT_EQ(client.decoder.messages.size(), 6u);
    EXPECT_EQ(client.decoder.messages[4].body,
              hex_bytes("02 0007 '_result' 00 3ff0000000000000"
                        " 03 0006 'fmsVer' 02 000e 'FMS/4,0,0,1121'"
                        " 000c 'capabilities' 00 406fe00000000000 0004 'mode' 00 3ff0000000000000"
                        " 000009"
                        " 03 0005 'level' 02 0006 'status'"
                        " 0004 'code' 02 001d 'NetConnection.Connect.Success'"
                        " 000b 'description' 02 0014 'Connection succeeded'"
                        " 000e 'objectEncoding' 00 4008000000000000 000009"));
    EXPECT_EQ(client.decoder.messages[5].body,
              hex_bytes("02 0008 'onBWDone' 00 0000000000000000 05"));
}

TEST(ConnectCommand, ARefusedConnectIsAnsweredAndThenEndsTheConnection) {
    for (bool bound : {true, false}) {
        SCOPED_TRACE(bound ? "refused by the handler" : "no handler");
        stack_client client;
        if (bound) {
            client.stack.connect_handler = [](amf0_object&, std::string& reason) {
                reason = "go away";
                return false;
            };
        }
        EXPECT_EQ(client.error_of(command("connect", 4).begin_object().end_object()),
                  "Connection has been refused");
        EXPECT_EQ(client.replies(),
                  (std::vector<std::string>{error_reply(4, "NetConnection.Connect.Rejected",
                                                        bound ? "go away" : "Not implemented")}));
    }
    stack_client client;
    EXPECT_EQ(client.error_of(command("connect", 1).string("not an object")),
              "AMF data type not equal");
}

TEST(ConnectionCommands, CreateStreamHandsOutTheLowestFreeIdUntilTheConnectionIsFull) {
    stack_client client;
    log_streams(client);
    std::uint32_t last = 0, created = 0;
    while (std::uint32_t id = client.create_stream()) {
        EXPECT_EQ(id, last + 1);
        last = id;
        ++created;
    }
    // Each stream has a command chunk stream: 126 fit beside chunk streams 2
    // and 3. The one past them is refused, and the connection goes on.
    EXPECT_EQ(created, 126u);
    client.send(0, command("createStream", 9).null());
    EXPECT_EQ(
        client.replies(),
        (std::vector<std::string>{error_reply(9, "NetStream.Failed", "createStream failed")}));

    client.log.clear();
    client.send(0, command("deleteStream", 0).null().number(40));
    client.send(0, command("deleteStream", 0).null().number(5.7));
    EXPECT_EQ(client.log, (std::vector<std::string>{"40 destroy", "5 destroy"}));
    EXPECT_EQ(client.replies(), std::vector<std::string>{}) << "deleteStream has no reply";
    EXPECT_EQ(client.create_stream(), 5u);
    EXPECT_EQ(client.create_stream(), 40u);
}

TEST(ConnectionCommands, DeleteStreamIgnoresIdsThatNameNoStream) {
    stack_client client;
    log_streams(client);
    ASSERT_EQ(client.create_stream(), 1u);
    for (double id : {99.0, -1.0, 4294967296.0, 1e300, std::numeric_limits<double>::quiet_NaN(),
                      std::numeric_limits<double>::infinity()}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(client.error_of(command("deleteStream", 0).null().number(id)), "accepted");
    }
    EXPECT_EQ(client.log, std::vector<std::string>{"1 buffer 100"});
    EXPECT_NE(client.stack.netstream(1), nullptr);
    EXPECT_EQ(client.error_of(command("deleteStream", 0).null().number(0)),
              "Bad deleteStream command");
}

TEST(ConnectionCommands, OtherCallsGoToTheCallHandlerOrFail) {
    stack_client client;
    client.send(0, command("releaseStream", 2).null().string("s"));
    client.send(0, command("play", 3).null().string("s"));
    client.send(0, command("close", 4));
    EXPECT_EQ(
        client.replies(),
        (std::vector<std::string>{error_reply(2, "NetConnection.Call.Failed", "Not implemented"),
                                  error_reply(3, "NetConnection.Call.Failed", "Not implemented")}))
        << "an unbound close is silent";

    std::vector<std::string> calls;
    auto& connection = *client.stack.netstream(0);
    connection.call_handler = [&](light_string name, double transaction, buffer_reader& args) {
        amf0_null null;
        amf0_read_expected(args, null);
        calls.push_back(name.str() + " " + number_text(transaction));
    };
    connection.close_handler = [&] { calls.push_back("close"); };
    client.send(0, command("FCPublish", 5).null().string("s"));
    client.send(0, command("close", 6));
    EXPECT_EQ(calls, (std::vector<std::string>{"FCPublish 5", "close"}));
    EXPECT_EQ(client.replies(), std::vector<std::string>{});
}

TEST(StreamCommands, EachCommandReachesItsHandlerWithItsArguments) {
    struct command_case {
        std::string body;
        std::vector<std::string> log;
    };
    const command_case cases[] = {
        {command("play", 0).null().string("s"), {"1 play s -2000 -1000"}},
        {command("play", 0).null().string("s").number(0), {"1 play s 0 -1000"}},
        {command("play", 0).null().string("s").number(-1000).number(5).boolean(true),
         {"1 play s -1000 5 reset"}},
        {command("play", 0).null().string("s").number(1).number(2).number(0), {"1 play s 1 2"}},
        {command("play", 0).null().string("s").number(1).number(2).number(3),
         {"1 play s 1 2 reset"}},
        {command("play2", 0).null().begin_object().end_object(), {}},
        {command("publish", 0).null().string("s").string("live"), {"1 publish s live"}},
        {command("pause", 0).null().boolean(true).number(10), {"1 pause on 10"}},
        {command("pause", 0).null().boolean(false).number(10), {"1 pause off 10"}},
        {command("pause", 0).null().undefined().number(10), {"1 pause toggle 10"}},
        {command("pauseRaw", 0).null().boolean(true).number(20), {"1 pauseRaw on 20"}},
        {command("seek", 0).null().number(30), {"1 seek 30"}},
        {command("receiveVideo", 0).null().boolean(false), {"1 receiveVideo off"}},
        {command("receiveAudio", 0).null().boolean(true), {"1 receiveAudio on"}},
        {command("closeStream", 0).null(), {"1 closeStream"}},
        {command("endThisPublishAsVod", 8).null(), {"1 call endThisPublishAsVod 8"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(describe_amf0(c.body));
        stack_client client;
        log_streams(client);
        ASSERT_EQ(client.create_stream(), 1u);
        client.log.clear();
        client.send(1, c.body);
        EXPECT_EQ(client.log, c.log);
        const auto replies = client.replies();
        const bool publish = c.body.find("publish") != std::string::npos;
        EXPECT_EQ(replies, publish ? std::vector<std::string>{status(
                                         1, "status", "NetStream.Publish.Start", "Publish started")}
                                   : std::vector<std::string>{});
    }
}

TEST(StreamCommands, RefusalsAndMissingHandlersGetTheirStatus) {
    struct refusal_case {
        std::string body;
        std::string refused, unbound;
    };
    const refusal_case cases[] = {
        {command("play", 0).null().string("s"),
         status(1, "error", "NetStream.Play.StreamNotFound", "Play stream error"),
         status(1, "error", "NetStream.Play.StreamNotFound", "Not implemented")},
        {command("publish", 0).null().string("s").string("live"),
         status(1, "error", "NetStream.Publish.BadName", "Publish failed, bad name"),
         status(1, "error", "NetStream.Publish.BadName", "Publish failed, not implemented")},
        {command("seek", 0).null().number(30),
         status(1, "error", "NetStream.Seek.Failed", "Seek failed"),
         status(1, "error", "NetStream.Seek.Failed", "Seek failed, not implemented")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(describe_amf0(c.body));
        stack_client refusing;
        log_streams(refusing, false);
        ASSERT_EQ(refusing.create_stream(), 1u);
        refusing.send(1, c.body);
        EXPECT_EQ(refusing.replies(), std::vector<std::string>{c.refused});
        refusing.send(1, c.body);
        EXPECT_EQ(refusing.replies(), std::vector<std::string>{c.refused})
            << "the stream stays usable";

        stack_client unbound;
        ASSERT_EQ(unbound.create_stream(), 1u);
        unbound.send(1, c.body);
        EXPECT_EQ(unbound.replies(), std::vector<std::string>{c.unbound});
        unbound.send(1, command("someOtherCommand", 0).null());
        EXPECT_EQ(unbound.replies(), std::vector<std::string>{}) << "ignored, without reply";
    }
}

TEST(StreamCommands, AHandlerThatRefusesWithAStatusOfItsOwnGetsTheErrorAfterIt) {
    // A client ends its wait on the error-level status alone: the handler's
    // own status only tells it why.
    struct refusal_case {
        std::string body;
        std::string own, error;
    };
    const refusal_case cases[] = {
        {command("play", 0).null().string("s"),
         status(1, "status", "NetStream.Play.NotAllow", "The stream is not allowed to play"),
         status(1, "error", "NetStream.Play.StreamNotFound", "Play stream error")},
        {command("publish", 0).null().string("s").string("live"),
         status(1, "status", "NetStream.Publish.BadPassword",
                "The stream needs password to publish"),
         status(1, "error", "NetStream.Publish.BadName", "Publish failed, bad name")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(describe_amf0(c.body));
        stack_client client;
        client.stack.netstream_created_handler = [](rtmp_server_netstream* s) {
            s->play_handler = [s](light_string, double, double, bool) {
                s->send_status("NetStream.Play.NotAllow", "The stream is not allowed to play",
                               "status");
                return false;
            };
            s->publish_handler = [s](light_string, light_string) {
                s->send_status("NetStream.Publish.BadPassword",
                               "The stream needs password to publish", "status");
                return false;
            };
        };
        ASSERT_EQ(client.create_stream(), 1u);
        client.send(1, c.body);
        EXPECT_EQ(client.replies(), (std::vector<std::string>{c.own, c.error}));
    }
}

TEST(StreamCommands, MalformedArgumentsEndTheConnection) {
    struct malformed {
        std::string body;
        std::uint8_t type;
        const char* error;
    };
    const malformed cases[] = {
        {command("play", 0).null(), 20, "Buffer eof"},
        {command("play", 0).string("s"), 20, "AMF data type not equal"},
        {command("play", 0).null().string("s").string("0"), 20, "AMF data type not equal"},
        {command("publish", 0).null().string("s"), 20, "Buffer eof"},
        {command("pause", 0).null().number(1).number(0), 20, "AMF data type not equal"},
        {command("seek", 0).null().null(), 20, "AMF data type not equal"},
        {amf0_bytes().number(1).string("play"), 20, "AMF data type not equal"},
        {"", 17, "Buffer eof"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(describe_amf0(c.body));
        stack_client client;
        log_streams(client);
        ASSERT_EQ(client.create_stream(), 1u);
        EXPECT_EQ(client.error_of(c.body, 1, c.type), c.error);
    }
    stack_client client;
    EXPECT_EQ(client.error_of(command("play", 0).null().string("s"), 3), "Bad NetStream ID");
}

TEST(StreamCommands, Amf3CommandsAreReadAfterTheirFormatByte) {
    stack_client client;
    log_streams(client);
    client.stack.connect_handler = [](amf0_object&, std::string&) { return true; };
    client.send(0, std::string(1, '\0') + command("connect", 1).begin_object().end_object().str(),
                17);
    EXPECT_EQ(client.replies().size(), 6u) << "the connect was answered";
    client.send(0, std::string(1, '\0') + command("createStream", 2).null().str(), 17);
    EXPECT_EQ(client.replies(), std::vector<std::string>{"3:0 cmd '_result' 2 null 1"});
    client.send(1, std::string(1, '\0') + command("play", 0).null().string("s").str(), 17);
    EXPECT_EQ(client.log, (std::vector<std::string>{"1 buffer 100", "1 play s -2000 -1000"}));
}

TEST(StreamCommands, BufferLengthsReachTheirStreams) {
    stack_client client;
    log_streams(client);
    // Stream 0's value is kept for the streams made later.
    client.feed(hex_bytes("02 000000 00000a 04 00000000 0003 00000000 00000bb8"));
    ASSERT_EQ(client.create_stream(), 1u);
    ASSERT_EQ(client.create_stream(), 2u);
    client.feed(hex_bytes("02 000000 00000a 04 00000000 0003 00000002 000001f4"));
    client.feed(hex_bytes("02 000000 00000a 04 00000000 0003 00000000 00000064"));
    EXPECT_EQ(client.log,
              (std::vector<std::string>{"1 buffer 3000", "2 buffer 3000", "2 buffer 500",
                                        "1 buffer 100", "2 buffer 100"}));
    EXPECT_EQ(client.stack.buffer_length(), 100u);
    try {
        client.feed(hex_bytes("02 000000 00000a 04 00000000 0003 00000009 00000064"));
        ADD_FAILURE() << "a buffer length for a stream that does not exist";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Bad NetStream ID");
    }
}

TEST(StreamMessages, MediaAndDataReachTheirHandlers) {
    stack_client client;
    std::vector<std::string> seen;
    client.stack.netstream_created_handler = [&](rtmp_server_netstream* s) {
        s->video_handler = [&](const std::uint8_t*, std::uint32_t size, std::uint32_t t) {
            seen.push_back("video " + std::to_string(size) + " @" + std::to_string(t));
        };
        s->audio_handler = [&](const std::uint8_t*, std::uint32_t size, std::uint32_t t) {
            seen.push_back("audio " + std::to_string(size) + " @" + std::to_string(t));
        };
        s->data_handler = [&](buffer_reader& in, std::uint32_t t) {
            seen.push_back(
                "data " +
                describe_amf0(std::string_view(reinterpret_cast<const char*>(in.data), in.size)) +
                " @" + std::to_string(t));
        };
        s->data_amf3_handler = [&](buffer_reader& in, std::uint32_t t) {
            seen.push_back("amf3 " + std::to_string(in.size) + " @" + std::to_string(t));
        };
    };
    ASSERT_EQ(client.create_stream(), 1u);
    client.send(1, std::string(300, 'v'), 9, 40);
    client.send(1, "aa", 8, 41);
    client.send(1, amf0_bytes().string("onTextData").number(1), 18, 42);
    client.send(1, std::string("\0\x06", 2), 15, 43);
    client.send(1, "x", 7, 44);
    EXPECT_EQ(seen, (std::vector<std::string>{"video 300 @40", "audio 2 @41",
                                              "data 'onTextData' 1 @42", "amf3 2 @43"}));
}

TEST(StreamLifetime, CloseRunsEveryDestroyHandlerThenIgnoresInput) {
    stack_client client;
    log_streams(client);
    client.stack.connect_handler = [](amf0_object&, std::string&) { return true; };
    ASSERT_EQ(client.create_stream(), 1u);
    ASSERT_EQ(client.create_stream(), 2u);
    client.log.clear();
    client.stack.close();
    EXPECT_EQ(client.log, (std::vector<std::string>{"1 destroy", "2 destroy"}));
    EXPECT_EQ(client.stack.netstream_count(), 0u);
    EXPECT_FALSE(client.stack.connect_handler) << "what the application captured is released";
    client.send(0, command("createStream", 3).null());
    EXPECT_EQ(client.replies(), std::vector<std::string>{});
}

TEST(StatusSequences, EachSenderWritesItsEventsAndStatuses) {
    using sender = void (rtmp::rtmp_net_stream::*)();
    const std::string begin = "2:0 event 0 1", empty = "2:0 event 31 1", ready = "2:0 event 32 1",
                      eof = "2:0 event 1 1", dry = "2:0 event 2 1", eos = "7:1 video 5",
                      silence = "8:1 audio 0";
    const auto st = [](const char* code, const char* description, const char* level = "status") {
        return status(1, level, code, description);
    };
    struct sequence {
        const char* what;
        sender send;
        std::vector<std::string> with_media, without_media;
    };
    const std::vector<std::string> reset_start = {empty,
                                                  begin,
                                                  ready,
                                                  st("NetStream.Play.Reset", "Stream reset"),
                                                  st("NetStream.Play.Start", "Play stream success"),
                                                  "6:1 data '|RtmpSampleAccess' false false"};
    const std::vector<std::string> recorded_start(reset_start.begin() + 1, reset_start.end());
    const sequence sequences[] = {
        {"play reset start", &rtmp::rtmp_net_stream::send_play_reset_start, reset_start,
         reset_start},
        {"recorded play start", &rtmp::rtmp_net_stream::send_recorded_play_start, recorded_start,
         recorded_start},
        {"pause",
         &rtmp::rtmp_net_stream::send_pause_notify,
         {ready, eos, silence, st("NetStream.Pause.Notify", "Pause success")},
         {ready, st("NetStream.Pause.Notify", "Pause success")}},
        {"unpause",
         &rtmp::rtmp_net_stream::send_unpause_notify,
         {empty, begin, ready, st("NetStream.Unpause.Notify", "Unpause success"),
          st("NetStream.Play.Start", "Play stream starts")},
         {empty, begin, ready, st("NetStream.Unpause.Notify", "Unpause success"),
          st("NetStream.Play.Start", "Play stream starts")}},
        {"seek",
         &rtmp::rtmp_net_stream::send_seek_notify,
         {ready, eos, silence, empty, begin, ready,
          st("NetStream.Seek.Notify", "Stream seeking succeeded"),
          st("NetStream.Play.Start", "Play stream success")},
         {ready, empty, begin, ready, st("NetStream.Seek.Notify", "Stream seeking succeeded"),
          st("NetStream.Play.Start", "Play stream success")}},
        {"play stop",
         &rtmp::rtmp_net_stream::send_play_stop,
         {ready, eos, eof, st("NetStream.Play.Stop", "Stream stopped")},
         {ready, eof, st("NetStream.Play.Stop", "Stream stopped")}},
        {"seek failed",
         &rtmp::rtmp_net_stream::send_seek_failed,
         {ready, eos, silence, empty, dry,
          st("NetStream.Seek.Failed", "Stream seeking failed", "error"),
          st("NetStream.Play.Stop", "Stream stopped")},
         {ready, empty, dry, st("NetStream.Seek.Failed", "Stream seeking failed", "error"),
          st("NetStream.Play.Stop", "Stream stopped")}},
        {"publish notify",
         &rtmp::rtmp_net_stream::send_publish_notify,
         {st("NetStream.Play.PublishNotify", "Stream now is published.")},
         {st("NetStream.Play.PublishNotify", "Stream now is published.")}},
        {"unpublish notify",
         &rtmp::rtmp_net_stream::send_unpublish_notify,
         {st("NetStream.Play.UnpublishNotify", "Stream now is unpublished.")},
         {st("NetStream.Play.UnpublishNotify", "Stream now is unpublished.")}},
    };
    for (const auto& s : sequences) {
        for (bool media : {true, false}) {
            SCOPED_TRACE(std::string(s.what) + (media ? " with media streams" : " without"));
            stack_client client;
            ASSERT_EQ(client.create_stream(), 1u);
            auto& stream = *client.stack.netstream(1);
            if (media) {
                ASSERT_TRUE(stream.open_media_streams());
            }
            (stream.*s.send)();
            stream.flush();
            EXPECT_EQ(client.replies(), media ? s.with_media : s.without_media);
        }
    }
}

TEST(StatusSequences, AStatusBodyIsWrittenByteForByteAtAnyLength) {
    for (std::size_t length : {std::size_t(10), std::size_t(5000)}) {
        stack_client client;
        ASSERT_EQ(client.create_stream(), 1u);
        const std::string description(length, 'd');
        client.stack.netstream(1)->send_status("NetStream.Play.Start", description, "status");
        client.stack.netstream(1)->flush();
        client.decoder.feed(client.owner.take());
        ASSERT_EQ(client.decoder.messages.size(), 1u);
        const std::string length_field = be32(static_cast<std::uint32_t>(length)).substr(2);
        EXPECT_EQ(client.decoder.messages[0].body,
                  hex_bytes("02 0008 'onStatus' 00 0000000000000000 05 03 0005 'level' 02 0006 "
                            "'status' 0004 'code' 02 0014 'NetStream.Play.Start' 000b "
                            "'description' 02") +
                      length_field + description + hex_bytes("000009"));
    }
}

}  // namespace
