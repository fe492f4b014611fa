#pragma once

// Stand-ins for the recorded-stream player's surroundings: a stored stream
// in memory or as an FLV file, a net stream that writes down what it is
// asked to send, and a clock the test moves.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "foundation/amf0.hpp"
#include "foundation/buffer.hpp"
#include "foundation/media_source_callbacks.hpp"
#include "platform/testing/test_support.hpp"
#include "rtmp/recorded_playback.hpp"

namespace rtmp_test {

struct fake_tag {
    std::uint8_t type;
    std::uint32_t time;
    std::string body;
};

fake_tag keyframe_at(std::uint32_t time);    // video 17 01 ...
fake_tag interframe_at(std::uint32_t time);  // video 27 01 ...
fake_tag audio_at(std::uint32_t time);       // audio af 01 ...

// Video every 2000 ms from 0 to `last`, keyframes at the times given, and
// audio at every odd second in between.
std::vector<fake_tag> keys_at(std::uint32_t last, const std::set<std::uint32_t>& keyframes);
// The same with every video tag a keyframe.
std::vector<fake_tag> every_video_a_keyframe(std::uint32_t last);

// Tags in memory. A seek lands on the last video keyframe at or before the
// time and reports that keyframe's time; without one it fails.
struct fake_source {
    explicit fake_source(std::vector<fake_tag> stored);

    // Bound to this object, which must outlive them.
    media_source_callbacks callbacks();

    std::vector<fake_tag> tags;
    // Tags past this are not written yet (media_tag_later).
    std::size_t available;
    std::size_t position = 0;
    std::string video_header;  // 17 00 ...
    std::string audio_header;  // af 00 ...
    std::string metadata;      // 02 00 0a 'onMetaData' ...
    // Every call through the callbacks.
    std::atomic<unsigned> calls{0};
};

// An FLV file written tag by tag, remembering where each tag starts.
class flv_builder {
  public:
    flv_builder();
    // Returns the tag's offset in the file.
    std::int64_t tag(std::uint8_t type, std::uint32_t time, const std::string& body);
    const std::string& bytes() const { return bytes_; }
    std::filesystem::path save(const platform::testing::temp_dir& dir,
                               const char* name = "sample.flv") const;

  private:
    std::string bytes_;
};

// onMetaData bodies: the name, then the properties.
struct metadata_writer {
    metadata_writer();
    std::string bytes() const;
    own_buffer_writer out;
};

std::unique_ptr<amf0_array> numbers(const std::vector<double>& values);
std::unique_ptr<amf0_object> keyframes_table(std::unique_ptr<amf0_based> times,
                                             std::unique_ptr<amf0_based> positions);
// An onMetaData body with a duration and the given "keyframes" value.
std::string on_metadata(std::unique_ptr<amf0_based> keyframes);
std::string on_metadata(const std::vector<double>& seconds, const std::vector<double>& positions);

// An FLV file of the tags after the sequence headers, with an onMetaData
// message that indexes its video keyframes, as a muxer writes one.
std::string indexed_flv(const std::vector<fake_tag>& tags);

// A net stream that writes each thing it is asked to send as a line:
// statuses by their code ("Seek.Notify"; "Play.Reset+Start" for the pair),
// user control events by name, media as "<video|audio|data|amf3> <time>
// <first two bytes in hex>", and "flush". Its connection writes nothing
// until told to: media bodies add to its unwritten bytes.
class fake_output : public rtmp::recorded_stream_output {
  public:
    std::uint64_t unwritten_bytes() const override { return unwritten; }
    void when_written(std::function<void()> resume) override;
    bool open_media_streams() override;
    void send_stream_is_recorded() override { sent.push_back("StreamIsRecorded"); }
    void send_stream_begin() override { sent.push_back("StreamBegin"); }
    void send_play_reset_start() override { sent.push_back("Play.Reset+Start"); }
    void send_pause_notify() override { sent.push_back("Pause.Notify"); }
    void send_unpause_notify() override { sent.push_back("Unpause.Notify"); }
    void send_seek_notify() override { sent.push_back("Seek.Notify"); }
    void send_seek_failed() override { sent.push_back("Seek.Failed"); }
    void send_play_stop() override { sent.push_back("Play.Stop"); }
    void send_video(std::uint8_t type, std::uint32_t timestamp, const std::uint8_t* data,
                    std::uint32_t size) override;
    void send_audio(std::uint32_t timestamp, const std::uint8_t* data, std::uint32_t size) override;
    void flush() override { sent.push_back("flush"); }

    // Everything unwritten is written: the waiting resumes are called.
    void write_all();

    std::vector<std::string> sent;
    std::uint64_t unwritten = 0;
    // False: a connection that writes what it is given at once.
    bool holds_what_it_sends = true;
    std::vector<std::function<void()>> resumes;
    bool room_for_streams = true;
    // Media writes throw, as a connection's chunk layer can.
    bool refuse_media = false;
};

// A monotonic clock that moves only when told to; safe to read from
// another thread.
class fake_clock {
  public:
    void advance(std::uint32_t milliseconds) { ms_ += milliseconds; }
    rtmp::recorded_playback::clock function();

  private:
    std::atomic<std::int64_t> ms_{0};
};

}  // namespace rtmp_test
