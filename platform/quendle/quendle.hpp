#pragma once

// The audio/video manager: opens media files and editing timelines as
// sources of decoded samples, and encodes H.264 and AAC. It lives in a
// shared object of its own that a program opens at run time (see
// platform/quendle/loader.hpp) and reaches through CreateAVManager alone.
//
// Objects are ended with their release (a source with close). Times are in
// units of 100 ns. Pictures use the shared IRawVideoFrame interface and
// always leave the library top-down.

#include <cstdint>
#include <memory>

#include "platform/vastrel/raw_video_frame.hpp"

namespace Quendle {

// A time that is not known.
inline constexpr std::int64_t no_time = INT64_MIN;

// An encoded packet. Belongs to the encoder that returned it and stays
// valid until that encoder's next call.
class IAVPacket {
  public:
    virtual std::int64_t GetPresentationTime() const = 0;
    virtual std::int64_t GetDecodeTime() const = 0;
    virtual std::uint32_t GetSize() const = 0;
    virtual const std::uint8_t* GetData() const = 0;
    virtual bool IsKeyframe() const = 0;

  protected:
    ~IAVPacket() = default;
};

// Decoded audio. Belongs to the source that returned it and stays valid
// until that source's next call.
class IAudioSample {
  public:
    virtual std::int64_t GetTime() const = 0;
    virtual std::uint32_t GetSampleCount() const = 0;
    virtual std::uint32_t GetSampleRate() const = 0;
    virtual std::uint32_t GetChannelCount() const = 0;

  protected:
    ~IAudioSample() = default;
};

enum class StreamKind : std::int32_t { video, audio, other };

struct StreamDescription {
    std::int32_t id;
    StreamKind kind;
    // Video: the picture size, the frame rate (both 0 when unknown) and the
    // pixel aspect ratio, numerator in the upper 16 bits and denominator in
    // the lower 16 bits (0 when unknown).
    std::uint32_t width;
    std::uint32_t height;
    std::uint32_t frame_rate_numerator;
    std::uint32_t frame_rate_denominator;
    std::uint32_t pixel_aspect;
    // Audio.
    std::uint32_t sample_rate;
    std::uint32_t channels;
};

// What a source holds; valid while the source is open.
struct MediaInfo {
    std::uint32_t stream_count;
    const StreamDescription* streams;
};

class IAVSource {
  public:
    // Moves to `ms`: decoding starts again at the keyframe before it, and
    // what comes before `ms` is not handed out. False when the source
    // cannot move there (it stays where it was).
    virtual bool seek(std::uint32_t ms) = 0;
    virtual std::uint32_t duration() const = 0;
    // The next sample: either an audio sample or a video frame, the other
    // output set to none, and its time. False at the end of the source or
    // on a read error. `flags` is 0.
    virtual bool read_sample(IAudioSample** audio, Vastrel::IRawVideoFrame** video,
                             std::int64_t* time, int flags) = 0;
    // Ends the source and everything it handed out.
    virtual void close() = 0;

  protected:
    ~IAVSource() = default;
};

struct VideoEncoderSettings {
    std::uint32_t bitrate = 0;      // bits per second
    std::uint32_t max_bitrate = 0;  // the rate the stream never exceeds for long
};

class IVideoEncoder {
  public:
    // The pictures to come: their pixel format and size (the frame needs no
    // pixels). False for what the encoder cannot take.
    virtual bool set_input_type(const Vastrel::IRawVideoFrame& description) = 0;
    virtual void configure(const VideoEncoderSettings& settings) = 0;
    virtual bool open() = 0;
    // The sequence and picture parameter sets, each after a start code;
    // packets carry none. Valid while the encoder lives.
    virtual const std::uint8_t* extra_data(std::uint32_t& length) const = 0;
    // Encodes a picture (its time from GetTimestamp) and returns at most one
    // packet, which may be that of an earlier picture; none as the input
    // drains what the encoder still holds, one packet per call.
    virtual IAVPacket* encode(const Vastrel::IRawVideoFrame* frame) = 0;
    virtual void release() = 0;

  protected:
    ~IVideoEncoder() = default;
};

struct AudioEncoderSettings {
    std::uint32_t sample_rate = 0;
    std::uint32_t channels = 0;
    std::uint32_t bitrate = 0;  // bits per second
};

class IAudioEncoder {
  public:
    virtual bool open(const AudioEncoderSettings& settings) = 0;
    // The decoder configuration (for AAC its AudioSpecificConfig).
    virtual const std::uint8_t* extra_data(std::uint32_t& length) const = 0;
    // Takes a source's sample, converted to the opened rate and channels.
    // False for a sample it cannot read.
    virtual bool push(const IAudioSample& sample) = 0;
    // The next packet, or none until more samples are pushed.
    virtual IAVPacket* pull() = 0;
    virtual void release() = 0;

  protected:
    ~IAudioEncoder() = default;
};

// What CreateObject makes.
class IObject {
  public:
    // Another interface of the object, ended with the object; none when it
    // has no such interface.
    virtual void* query_interface(const char* name) = 0;
    virtual void release() = 0;

  protected:
    ~IObject() = default;
};

// "ISimpleEditTimeLine" of a "SimpleEditImporter": describes an edit that
// the manager opens as a source (OpenSource with the importer's name).
class ISimpleEditTimeLine {
  public:
    // A clip: the track (0), the file, its place on the timeline (0), its
    // start in the file (0) and its end (-1: the file's end), in ms. One
    // whole clip is what the timeline plays; other values are refused.
    virtual bool add_clip(int track, const char* path, std::int64_t position, std::int64_t start,
                          std::int64_t end) = 0;
    // The video's frame rate: frames are dropped or repeated by time.
    virtual void set_frame_rate(double rate) = 0;
    // The video's picture size; `flags` is 0.
    virtual void set_size(std::uint32_t width, std::uint32_t height, int flags) = 0;
    // 0: audio and video; 2: audio only. False for another mode.
    virtual bool set_stream_mode(int mode) = 0;
    virtual bool save(const char* path) = 0;

  protected:
    ~ISimpleEditTimeLine() = default;
};

class IAVManager {
  public:
    // Readies the manager for a job on the calling thread.
    virtual void Prepare() = 0;
    // Opens a file: `url` is its path, optionally followed by "?" and the
    // options "&vstreamid=-1" (no video) and "&astreamid=-1" (no audio); the
    // part after the last '?' counts as options only when it is made of
    // them, otherwise the whole url is the path. With `importer` set,
    // opens a file that importer saved. The stream ids are -1 for none;
    // `error` gets 0 or a negative code. None when nothing decodable opens.
    virtual IAVSource* OpenSource(const char* url, const char* importer,
                                  std::int32_t* audio_stream_id, std::int32_t* video_stream_id,
                                  std::int32_t* error, const MediaInfo** info) = 0;
    // "SimpleEditImporter"; none for another class name.
    virtual IObject* CreateObject(const char* class_name) = 0;
    // "h264" and "aac"; none for another name.
    virtual IVideoEncoder* CreateVideoEncoder(const char* name) = 0;
    virtual IAudioEncoder* CreateAudioEncoder(const char* name) = 0;
    virtual void release() = 0;

  protected:
    ~IAVManager() = default;
};

// Holds an object of the library and ends it at the end of the scope.
struct release_object {
    void operator()(IAVSource* source) const { source->close(); }
    template <class T>
    void operator()(T* object) const {
        object->release();
    }
};
template <class T>
using object_ptr = std::unique_ptr<T, release_object>;

}  // namespace Quendle

extern "C" {
// The library's entry: a manager, or none when the library cannot encode
// H.264 and AAC here. `folder` is the calling program's folder (UTF-8);
// `flags` is 0. Safe to call from any thread; the manager may be shared by
// several threads.
Quendle::IAVManager* CreateAVManager(const char* folder, int flags);
using CreateAVManagerFunction = Quendle::IAVManager*(const char* folder, int flags);
}
