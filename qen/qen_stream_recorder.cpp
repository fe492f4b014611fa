#include "qen/qen_stream_recorder.hpp"

#include <filesystem>
#include <iostream>
#include <span>
#include <stdexcept>

namespace qen {
qen_stream_recorder::qen_stream_recorder(const std::vector<std::string>& formats,
                                         const std::string& base_path)
    : base_path_(base_path) {
    lock_file_.exceptions(std::ios::failbit | std::ios::badbit);
    lock_file_.open(std::filesystem::path(base_path + ".locked"));
    lock_file_ << "lock" << std::flush;
    for (const auto& format : formats) {
        if (!add_format(format, base_path)) {
            writer_.reset();
            throw std::runtime_error("Can't build format recorder");
        }
    }
}

qen_stream_recorder::~qen_stream_recorder() = default;

bool qen_stream_recorder::add_format(const std::string& format, const std::string& base_path) {
    if (format != "zpk") {
        return true;
    }
    try {
        const std::filesystem::path base(base_path);
        writer_ = std::make_unique<segment_writer>(base.parent_path(), base.filename().string(),
                                                   true, false);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

template <class Write>
void qen_stream_recorder::record(Write write) {
    if (!writer_) {
        return;
    }
    try {
        write(*writer_);
    } catch (const std::exception& e) {
        // The publish goes on without its recording; what was written stays
        // readable and resumable.
        std::cerr << "Recording " << base_path_ << " stopped: " << e.what() << std::endl;
        writer_.reset();
    }
}

void qen_stream_recorder::on_video(const std::uint8_t* data, std::uint32_t size,
                                   std::uint32_t timestamp) {
    record([&](segment_writer& w) { w.on_video(timestamp, {data, size}); });
}

void qen_stream_recorder::on_audio(const std::uint8_t* data, std::uint32_t size,
                                   std::uint32_t timestamp) {
    record([&](segment_writer& w) { w.on_audio(timestamp, {data, size}); });
}

void qen_stream_recorder::on_data(const buffer_reader& message, std::uint32_t timestamp) {
    // The writer keeps an "onMetaData" message as the recording's metadata.
    const std::span<const std::uint8_t> body(message.data + message.pos, message.remaining());
    record([&](segment_writer& w) { w.on_data(timestamp, body); });
}

void qen_stream_recorder::end_as_vod() {
    if (writer_) {
        writer_->end_as_vod();
        writer_.reset();
    }
}

void qen_stream_recorder::end_as_fake_live() {
    if (writer_) {
        writer_->end_as_fake_live();
        writer_.reset();
    }
}

}  // namespace qen
