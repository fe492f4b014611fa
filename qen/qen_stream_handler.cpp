#include "qen/qen_stream_handler.hpp"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <stdexcept>
#include <string_view>

#include "qen/stream_policy.hpp"

namespace qen {
namespace {

// A recorded player paces against the client's buffer, within these bounds.
std::uint32_t recorded_buffer_length(std::uint32_t milliseconds) {
    return std::clamp<std::uint32_t>(milliseconds, 5000, 60000);
}

}  // namespace

qen_stream_handler::qen_stream_handler(rtmp::rtmp_live_streams& live_streams,
                                       recording_services& recordings,
                                       std::shared_ptr<qen_connection_context> context,
                                       rtmp::rtmp_server_netstream& netstream,
                                       rtmp::rtmp_server_connection& connection)
    : live_streams_(live_streams),
      recordings_(recordings),
      connection_(connection),
      netstream_(netstream),
      context_(std::move(context)) {
    if (!context_ || !context_->app) {
        throw std::runtime_error("App not set");
    }
}

qen_stream_handler::~qen_stream_handler() = default;

void qen_stream_handler::bind(const std::shared_ptr<qen_stream_handler>& handler) {
    rtmp::rtmp_server_netstream& s = handler->netstream_;
    qen_stream_handler* h = handler.get();
    // Every callback holds the handler; the net stream drops them when it is
    // destroyed, after destroy_handler has stopped what the handler ran.
    auto keep = handler;
    s.play_handler = [keep, h](light_string name, double start, double duration, bool reset) {
        return h->on_play(name, start, duration, reset);
    };
    s.pause_handler = [keep, h](bool pause, bool toggle, double ms) {
        h->on_pause(pause, toggle, ms);
    };
    s.close_stream_handler = [keep, h] { h->on_close(); };
    s.destroy_handler = [keep, h] { h->stop(); };
    s.publish_handler = [keep, h](light_string name, light_string type) {
        return h->on_publish(name, type);
    };
    s.video_handler = [keep, h](const std::uint8_t* data, std::uint32_t size, std::uint32_t time) {
        h->on_video(data, size, time);
    };
    s.audio_handler = [keep, h](const std::uint8_t* data, std::uint32_t size, std::uint32_t time) {
        h->on_audio(data, size, time);
    };
    s.data_handler = [keep, h](buffer_reader& message, std::uint32_t time) {
        h->on_data(message, time);
    };
    s.data_amf3_handler = [keep, h](buffer_reader& message, std::uint32_t time) {
        h->on_data_amf3(message, time);
    };
    s.buffer_length_handler = [keep, h](std::uint32_t ms) { h->on_set_buffer_length(ms); };
    s.receive_video_handler = [keep, h](bool receive) { h->on_receive_video(receive); };
    s.receive_audio_handler = [keep, h](bool receive) { h->on_receive_audio(receive); };
    s.seek_handler = [keep, h](double ms) { return h->on_seek(ms); };
    s.pause_raw_handler = [keep, h](bool pause, double ms) { h->on_pause_raw(pause, ms); };
    s.call_handler = [keep, h](light_string name, double transaction, buffer_reader& args) {
        h->on_call(name, transaction, args);
    };
}

void qen_stream_handler::refuse(const policy_refusal& refusal) {
    netstream_.send_status(refusal.code, refusal.description, "status");
}

bool qen_stream_handler::on_play(light_string name, double start, double, bool) {
    if (mode_ == mode::publishing || name.empty()) {
        return false;
    }
    const qen_app& app = *context_->app;
    if (const auto refusal = play_refusal(app, context_->query)) {
        refuse(*refusal);
        return false;
    }
    stop();

    const auto request = parse_play_name(name.view());
    if (!request) {
        return false;
    }
    mode_ = mode::playing;

    if (start < 0) {
        auto player = std::make_unique<rtmp::rtmp_live_stream_player>(
            live_streams_, connection_.send_queue(), netstream_, connection_.context());
        player->set_buffer_length(buffer_length_);
        if (player->play(start, app.key() + "/" + request->bare_name)) {
            live_player_ = std::move(player);
            return true;
        }
    }
    // A client that asks to start later (rtmpdump -A) starts at the keyframe
    // at or before that time.
    return play_recorded(request->file_name, request->format, rtmp::wire_uint32(start).value_or(0));
}

bool qen_stream_handler::play_recorded(const std::string& file_name, const std::string& format,
                                       std::uint32_t from) {
    try {
        auto source = open_file_source(context_->app->directory() + "/" + file_name, format);
        auto player = std::make_shared<rtmp::rtmp_recorded_stream_player>(source->callbacks(),
                                                                          netstream_, connection_);
        player->set_buffer_length(recorded_buffer_length(buffer_length_));
        if (!player->start(from)) {
            return false;  // no room for the media chunk streams
        }
        recorded_player_ = std::move(player);
        media_source_ = std::move(source);
        return true;
    } catch (const std::exception&) {
        // An unknown format or a missing or invalid file: a plain refusal.
        return false;
    }
}

bool qen_stream_handler::on_publish(light_string name, light_string) {
    if (mode_ == mode::playing || name.empty()) {
        return false;
    }
    const qen_app& app = *context_->app;
    if (const auto refusal = publish_refusal(app, context_->query)) {
        refuse(*refusal);
        return false;
    }
    stop();
    mode_ = mode::publishing;

    const auto checked_name = publish_stream_name(app, name.view());
    if (!checked_name) {
        return false;
    }
    const std::string& stream_name = *checked_name;
    const std::string format = app.get<std::string>("publish_format", "zpk");
    if (format == "none") {
        return publish_live(stream_name, nullptr);
    }
    // The recording is opened on a writer lane's file thread (its lock
    // file, its writer, the resume of its index), once the name's last
    // recording, which a publish that has just ended may still be finishing,
    // is complete; the publish is answered then, on this thread, which goes
    // on serving its other connections meanwhile.
    const std::uint64_t attempt = ++publish_attempt_;
    netstream_.defer_publish_answer();
    const std::string base_path = app.directory() + "/" + stream_name;
    recording_services& recordings = recordings_;
    recordings.finisher.after_finished(
        base_path, [&recordings, handler = weak_from_this(), attempt, stream_name, format,
                    base_path, thread = connection_.executor()] {
            qen_stream_recorder::open(
                recordings.writers, {format}, base_path, recordings.options,
                [handler, attempt, stream_name, thread](
                    std::unique_ptr<qen_stream_recorder> recorder, const std::string&) {
                    boost::asio::post(thread, [handler, attempt, stream_name,
                                               recorder = std::move(recorder)]() mutable {
                        if (const auto self = handler.lock()) {
                            self->publish_recorded(attempt, stream_name, std::move(recorder));
                        }
                    });
                });
        });
    return true;
}

void qen_stream_handler::publish_recorded(std::uint64_t attempt, const std::string& stream_name,
                                          std::unique_ptr<qen_stream_recorder> recorder) {
    if (attempt != publish_attempt_) {
        // The stream stopped, or was published again meanwhile.
        recordings_.finisher.finish(std::move(recorder));
        return;
    }
    if (!recorder) {
        // Another publisher holds the name's lock, or its recording has
        // ended: refused as a bad name.
        netstream_.answer_publish(false);
        return;
    }
    netstream_.answer_publish(publish_live(stream_name, std::move(recorder)));
}

bool qen_stream_handler::publish_live(const std::string& stream_name,
                                      std::unique_ptr<qen_stream_recorder> recorder) {
    rtmp::rtmp_live_stream* stream =
        live_streams_.publish(context_->app->key() + "/" + stream_name);
    if (!stream) {
        // Someone else publishes the name.
        recordings_.finisher.finish(std::move(recorder));
        return false;
    }
    published_ = stream;
    if (recorder) {
        recorder_sink_ = stream->add_player(recorder->sinks());
        recorder_ = std::move(recorder);
    }
    return true;
}

void qen_stream_handler::stop() {
    if (mode_ == mode::playing) {
        live_player_.reset();
        if (recorded_player_) {
            recorded_player_->stop();
            recorded_player_.reset();
        }
        // No call reaches the source once its player has stopped.
        media_source_.reset();
    } else if (mode_ == mode::publishing && published_) {
        if (recorder_sink_ != -1) {
            published_->remove_player(recorder_sink_);
        }
        recordings_.finisher.finish(std::move(recorder_));
        published_->unpublish(live_streams_);
        published_ = nullptr;
    }
    recorder_sink_ = -1;
    ++publish_attempt_;
    mode_ = mode::idle;
}

void qen_stream_handler::on_close() {
    stop();
}

void qen_stream_handler::on_video(const std::uint8_t* data, std::uint32_t size,
                                  std::uint32_t timestamp) {
    if (published_) {
        published_->on_video(data, size, timestamp);
    }
}

void qen_stream_handler::on_audio(const std::uint8_t* data, std::uint32_t size,
                                  std::uint32_t timestamp) {
    if (published_) {
        published_->on_audio(data, size, timestamp);
    }
}

void qen_stream_handler::on_data(buffer_reader& message, std::uint32_t timestamp) {
    if (published_) {
        published_->on_data(message, timestamp);
    }
}

void qen_stream_handler::on_data_amf3(buffer_reader& message, std::uint32_t timestamp) {
    if (published_) {
        published_->on_data_amf3(message, timestamp);
    }
}

void qen_stream_handler::on_set_buffer_length(std::uint32_t milliseconds) {
    if (live_player_) {
        live_player_->set_buffer_length(milliseconds);
    } else if (recorded_player_) {
        recorded_player_->set_buffer_length(recorded_buffer_length(milliseconds));
    }
    buffer_length_ = milliseconds;
}

void qen_stream_handler::on_receive_video(bool receive) {
    if (!live_player_) {
        return;
    }
    live_player_->set_receive_video(receive);
    if (!receive) {
        // Tells the client's decoder that no more pictures follow for now.
        netstream_.send_end_of_sequence_video();
        netstream_.flush();
    }
}

void qen_stream_handler::on_receive_audio(bool receive) {
    if (!live_player_) {
        return;
    }
    live_player_->set_receive_audio(receive);
    if (!receive) {
        netstream_.send_empty_audio();
        netstream_.flush();
    }
}

void qen_stream_handler::on_pause(bool pause, bool toggle, double milliseconds) {
    if (mode_ == mode::publishing) {
        return;
    }
    if (live_player_) {
        live_player_->pause(pause, toggle);
    } else if (recorded_player_) {
        recorded_player_->pause(pause, toggle, rtmp::wire_uint32(milliseconds).value_or(0));
    }
}

bool qen_stream_handler::on_seek(double milliseconds) {
    if (mode_ == mode::publishing) {
        return false;
    }
    const auto target = rtmp::wire_uint32(milliseconds);
    if (!target) {
        return false;
    }
    if (live_player_) {
        live_player_->seek(*target);
        return true;
    }
    if (recorded_player_) {
        recorded_player_->seek(*target);
        return true;
    }
    return false;
}

void qen_stream_handler::on_pause_raw(bool pause, double milliseconds) {
    if (mode_ != mode::publishing && recorded_player_) {
        recorded_player_->pause_raw(pause, rtmp::wire_uint32(milliseconds).value_or(0));
    }
}

void qen_stream_handler::on_call(light_string name, double, buffer_reader&) {
    if (light_string_equals(name, "endThisPublishAsVod")) {
        end_recording(true);
    } else if (light_string_equals(name, "endThisPublishAsFakeLive")) {
        end_recording(false);
    }
}

// The recorder takes the end after the messages the publisher sent before
// it, on its lane: this thread, the publisher's, queues them all.
void qen_stream_handler::end_recording(bool as_vod) {
    if (!recorder_ || !published_) {
        return;
    }
    if (as_vod) {
        recorder_->end_as_vod();
    } else {
        recorder_->end_as_fake_live();
    }
}

}  // namespace qen
