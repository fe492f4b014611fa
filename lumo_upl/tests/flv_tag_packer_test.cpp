#include "lumo_upl/flv_tag_packer.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/testing/hex.hpp"
#include "platform/testing/media.hpp"
#include "platform/testing/test_support.hpp"
#include "rtmp/flv_stream_source.hpp"

namespace {

namespace fs = std::filesystem;
namespace testing = platform::testing;
using bytes = std::vector<std::uint8_t>;

bytes hex(const std::string& text) {
    const std::string raw = testing::hex_bytes(text);
    return bytes(raw.begin(), raw.end());
}

// A packet as an encoder hands it out.
struct packet : Quendle::IAVPacket {
    std::int64_t presentation = 0;
    std::int64_t decode = 0;
    bool key = false;
    bytes data;

    std::int64_t GetPresentationTime() const override { return presentation; }
    std::int64_t GetDecodeTime() const override { return decode; }
    std::uint32_t GetSize() const override { return static_cast<std::uint32_t>(data.size()); }
    const std::uint8_t* GetData() const override { return data.data(); }
    bool IsKeyframe() const override { return key; }
};

packet make_packet(std::int64_t presentation, std::int64_t decode, bool key, const bytes& data) {
    packet p;
    p.presentation = presentation;
    p.decode = decode;
    p.key = key;
    p.data = data;
    return p;
}

constexpr std::int64_t unset = Quendle::no_time;
constexpr std::int64_t ms = 10000;

// An SPS of High profile 4.0 and a PPS, each after a four-byte start code.
const std::string parameter_sets = "00 00 00 01 67 64 00 28 AC D9 00 00 00 01 68 EB E3 CB 22 C0";
const std::string record = "01 64 00 28 FF E1 00 06 67 64 00 28 AC D9 01 00 06 68 EB E3 CB 22 C0";

TEST(FlvTagPacker, CodecNamesMatchExactly) {
    const struct {
        std::string name;
        int header;  // of a keyframe; -1: unknown
    } video[] = {{"cuda_h264", 0x17}, {"h264", 0x17},    {"flv", 0x12},      {"vp6f", 0x14},
                 {"vp6a", 0x15},      {"flashsv", 0x13}, {"flashsv2", 0x16}, {"H264", -1},
                 {"h264 ", -1},       {"", -1},          {"mpeg4", -1}};
    for (const auto& c : video) {
        SCOPED_TRACE(c.name);
        flv_tag_packer packer;
        ASSERT_EQ(packer.set_video_codec(c.name, hex(parameter_sets)), c.header != -1);
        if (c.header != -1) {
            EXPECT_EQ(packer.pack_video(make_packet(0, 0, true, hex("00 00 01 65 88")))[0],
                      c.header);
        }
    }
    const struct {
        std::string name;
        int header;  // at 44100 Hz, stereo, 16 bits
    } audio[] = {{"mp3", 0x2F}, {"aac", 0xAF}, {"speex", 0xBF}, {"nellymoser", 0x6F},
                 {"AAC", -1},   {"mp2", -1},   {"", -1}};
    for (const auto& c : audio) {
        SCOPED_TRACE(c.name);
        flv_tag_packer packer;
        ASSERT_EQ(packer.set_audio_codec(c.name, hex("12 10"), 44100, 2, 16), c.header != -1);
        if (c.header != -1) {
            EXPECT_EQ(packer.pack_audio(make_packet(0, 0, true, hex("21")))[0], c.header);
        }
    }
}

TEST(FlvTagPacker, AudioHeaderBytes) {
    const struct {
        std::string name;
        std::uint32_t rate, channels, bits;
        std::uint8_t header;
    } cases[] = {
        {"aac", 48000, 2, 16, 0xAF},        {"aac", 22050, 1, 16, 0xAF},  // always 44 kHz, stereo
        {"mp3", 22050, 1, 16, 0x2A},        {"mp3", 11025, 2, 8, 0x25},
        {"mp3", 5512, 1, 16, 0x22},         {"mp3", 48000, 2, 16, 0x2F},
        {"nellymoser", 16000, 1, 16, 0x4E}, {"nellymoser", 8000, 1, 16, 0x5E},
        {"nellymoser", 22050, 1, 16, 0x6A}, {"speex", 16000, 1, 16, 0xBE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + " " + std::to_string(c.rate));
        flv_tag_packer packer;
        ASSERT_TRUE(packer.set_audio_codec(c.name, {}, c.rate, c.channels, c.bits));
        EXPECT_EQ(packer.pack_audio(make_packet(0, 0, false, {}))[0], c.header);
    }
}

TEST(FlvTagPacker, TheAvcRecordFromParameterSets) {
    const struct {
        std::string what;
        std::string annex_b;
        std::string record;  // "" when none can be made
    } cases[] = {
        {"four-byte start codes", parameter_sets, record},
        {"three-byte start codes", "00 00 01 67 64 00 28 AC D9 00 00 01 68 EB E3 CB 22 C0", record},
        {"bytes before the first start code",
         "FF 00 00 01 67 64 00 28 AC D9 00 00 01 68 EB E3 CB 22 C0", record},
        {"a start code at the very end", parameter_sets + " 00 00 00 01", record},
        {"the last of each counts",
         "00 00 01 67 42 00 1E 99 00 00 01 68 CE 00 00 01 67 64 00 28 AC D9 00 00 01 68 EB E3 CB "
         "22 C0",
         record},
        {"no PPS", "00 00 00 01 67 64 00 28 AC D9 00 00 00 01 65 88", ""},
        {"no SPS", "00 00 00 01 68 EB E3 CB 22 C0", ""},
        {"an SPS of 2 bytes", "00 00 01 67 64 00 00 01 68 EB E3 CB 22 C0", ""},
        {"an SPS of 3 bytes", "00 00 01 67 64 28 00 00 01 68 EB E3 CB 22 C0", ""},
        {"an empty unit alone", "00 00 01", ""},
        {"a four-byte start code alone", "00 00 00 01", ""},
        {"nothing", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        bytes made = {0xEE};
        // A copy of exactly the input, so that a read past it is caught.
        const bytes input = hex(c.annex_b);
        const bool ok = make_avc_decoder_config(input, made);
        EXPECT_EQ(ok, !c.record.empty());
        EXPECT_EQ(made, c.record.empty() ? bytes{0xEE} : hex(c.record));
    }

    // A parameter set that a 16-bit length cannot hold.
    bytes long_sps = hex("00 00 01 67 64 00 28");
    long_sps.resize(long_sps.size() + 65535, 0xAA);
    const bytes pps = hex("00 00 01 68 EB");
    long_sps.insert(long_sps.end(), pps.begin(), pps.end());
    bytes made;
    EXPECT_FALSE(make_avc_decoder_config(long_sps, made));
    EXPECT_TRUE(made.empty());
}

TEST(FlvTagPacker, AnnexBBecomesLengthPrefixed) {
    const struct {
        std::string annex_b;
        std::string prefixed;
    } cases[] = {
        {"00 00 00 01 65 AA BB 00 00 01 41 CC", "00 00 00 03 65 AA BB 00 00 00 02 41 CC"},
        {"FF FF 00 00 01 65 00 00 01", "00 00 00 01 65"},
        {"00 00 01 06 05 00 00 00 01 65 80", "00 00 00 02 06 05 00 00 00 02 65 80"},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.annex_b);
        bytes out = {0x99};
        annexb_to_length_prefixed(hex(c.annex_b), out);
        bytes expected = {0x99};
        const bytes rest = hex(c.prefixed);
        expected.insert(expected.end(), rest.begin(), rest.end());
        EXPECT_EQ(out, expected);
    }
}

TEST(FlvTagPacker, VideoPacketsCarryTheirTimesAndOffsets) {
    const bytes frame = hex("00 00 00 01 65 88 84");
    const std::string units = "00 00 00 03 65 88 84";
    const struct {
        std::string what;
        std::int64_t presentation, decode;
        bool key;
        std::uint32_t time;
        std::string body;
    } cases[] = {
        {"a keyframe", 40 * ms, 40 * ms, true, 40, "17 01 00 00 00 " + units},
        {"a later picture", 120 * ms, 40 * ms, false, 40, "27 01 00 00 50 " + units},
        {"an earlier picture", 0, 40 * ms, false, 40, "27 01 FF FF D8 " + units},
        {"no decode time", 80 * ms, unset, false, 80, "27 01 00 00 00 " + units},
        {"no presentation time", unset, 80 * ms, true, 80, "17 01 00 00 00 " + units},
        {"no time at all", unset, unset, true, 0, "17 01 00 00 00 " + units},
        {"a time before 0", 0, -40 * ms, false, 0, "27 01 00 00 00 " + units},
        {"times before 0", -40 * ms, -80 * ms, false, 0, "27 01 00 00 00 " + units},
        {"past 24 bits of ms", 0x1000000 * ms, 0x1000000 * ms, true, 0x1000000,
         "17 01 00 00 00 " + units},
    };
    flv_tag_packer packer;
    ASSERT_TRUE(packer.set_video_codec("h264", hex(parameter_sets)));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(packer.pack_video(make_packet(c.presentation, c.decode, c.key, frame)),
                  hex(c.body));
        EXPECT_EQ(packer.last_video_time(), c.time);
    }

    // Other codecs keep the data as it is.
    flv_tag_packer vp6;
    ASSERT_TRUE(vp6.set_video_codec("vp6f", {}));
    EXPECT_EQ(vp6.pack_video(make_packet(0, 0, false, hex("01 02 03"))), hex("24 01 02 03"));
    EXPECT_TRUE(vp6.video_sequence_header().empty());
}

TEST(FlvTagPacker, AudioPacketsAndBothSequenceHeaders) {
    flv_tag_packer packer;
    EXPECT_TRUE(packer.video_sequence_header().empty());
    EXPECT_TRUE(packer.audio_sequence_header().empty());
    ASSERT_TRUE(packer.set_video_codec("h264", hex(parameter_sets)));
    ASSERT_TRUE(packer.set_audio_codec("aac", hex("11 90"), 48000, 2, 16));
    EXPECT_EQ(packer.video_sequence_header(), hex("17 00 00 00 00 " + record));
    EXPECT_EQ(packer.audio_sequence_header(), hex("AF 00 11 90"));

    EXPECT_EQ(packer.pack_audio(make_packet(213 * ms, 213 * ms, true, hex("21 1A"))),
              hex("AF 01 21 1A"));
    EXPECT_EQ(packer.last_audio_time(), 213u);
    EXPECT_EQ(packer.pack_audio(make_packet(-21 * ms, -21 * ms, true, hex("21"))), hex("AF 01 21"));
    EXPECT_EQ(packer.last_audio_time(), 0u);
    packer.pack_audio(make_packet(500 * ms, unset, true, hex("21")));
    EXPECT_EQ(packer.last_audio_time(), 500u);

    flv_tag_packer mp3;
    ASSERT_TRUE(mp3.set_audio_codec("mp3", {}, 44100, 2, 16));
    EXPECT_EQ(mp3.pack_audio(make_packet(0, 0, true, hex("FF FB"))), hex("2F FF FB"));
    EXPECT_TRUE(mp3.audio_sequence_header().empty());
}

// The record of the parameter sets that ffmpeg encoded is the one that
// ffmpeg's own FLV muxer writes for them. That muxer may append the
// extension of the High profiles, which the record here does not carry.
TEST(FlvTagPacker, TheRecordIsTheOneFfmpegWrites) {
    if (!testing::have_program("ffmpeg")) {
        GTEST_SKIP() << "ffmpeg is missing";
    }
    testing::temp_dir dir;
    for (const std::string profile : {"baseline", "high"}) {
        SCOPED_TRACE(profile);
        const fs::path stream = dir / (profile + ".h264");
        const fs::path flv = dir / (profile + ".flv");
        ASSERT_EQ(
            testing::make_media(stream, {"-f", "lavfi", "-i", "testsrc2=size=176x144:rate=25", "-t",
                                         "0.4", "-c:v", "libx264", "-bf", "0", "-profile:v",
                                         profile, "-pix_fmt", "yuv420p", "-f", "h264"}),
            "");
        ASSERT_EQ(testing::make_media(flv, {"-i", stream.string(), "-c", "copy", "-f", "flv"}), "");

        const std::string annex_b = testing::read_file(stream);
        bytes made;
        ASSERT_TRUE(make_avc_decoder_config(
            {reinterpret_cast<const std::uint8_t*>(annex_b.data()), annex_b.size()}, made));

        rtmp::flv_stream_source source(flv);
        std::uint32_t size = 0;
        const std::uint8_t* header = source.video_config(size);
        ASSERT_NE(header, nullptr);
        const bytes written(header, header + size);
        ASSERT_GE(written.size(), 5 + made.size());
        EXPECT_EQ(bytes(written.begin(), written.begin() + 5), hex("17 00 00 00 00"));
        EXPECT_EQ(bytes(written.begin() + 5, written.begin() + 5 + static_cast<long>(made.size())),
                  made);
    }
}

}  // namespace
