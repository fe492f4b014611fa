#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/buffer.hpp"
#include "foundation/exclusive_ofstream.hpp"
#include "foundation/segment_writer.hpp"

namespace qen {

// Records one publish: holds the recording's lock file (the name's
// ".locked" file, kept open without sharing for the recorder's life, which
// keeps a second publisher of the name out) and writes the publisher's
// messages with the format's writer.
//
// Not locked: a live stream calls the sinks one message at a time under its
// own lock, and the end commands take the same lock.
class qen_stream_recorder {
  public:
    // Takes the lock file of `base_path` (the application's directory and the
    // stream name) and builds the writer of each format. Throws when the lock
    // is held by another recorder, or "Can't build format recorder".
    qen_stream_recorder(const std::vector<std::string>& formats, const std::string& base_path);

    // Finishes the recording (it stays resumable by the next publish of the
    // name) and closes the lock file.
    ~qen_stream_recorder();

    qen_stream_recorder(const qen_stream_recorder&) = delete;
    qen_stream_recorder& operator=(const qen_stream_recorder&) = delete;

    // Builds the writer of one format: "zpk" records segments; any other
    // format records nothing but still counts as added.
    bool add_format(const std::string& format, const std::string& base_path);

    // The sinks of the published live stream.
    void on_video(const std::uint8_t* data, std::uint32_t size, std::uint32_t timestamp);
    void on_audio(const std::uint8_t* data, std::uint32_t size, std::uint32_t timestamp);
    // The message starts at the reader's position, which is left as it was.
    void on_data(const buffer_reader& message, std::uint32_t timestamp);

    // The publisher ends the recording early; later messages are not
    // recorded. An exception leaves the writer in place.
    void end_as_vod();
    void end_as_fake_live();

    bool recording() const noexcept { return writer_ != nullptr; }

  private:
    template <class Write>
    void record(Write write);

    exclusive_ofstream lock_file_;
    std::unique_ptr<segment_writer> writer_;
    std::string base_path_;
};

}  // namespace qen
