#include "rtmp/tests/recorded_files.hpp"

#include <exception>
#include <memory>
#include <string>
#include <utility>

#include "foundation/file_name.hpp"
#include "rtmp/flv_stream_source.hpp"
#include "rtmp/rtmp_net_stream.hpp"
#include "rtmp/rtmp_recorded_stream_player.hpp"

namespace rtmp_test {

namespace {

using rtmp::wire_uint32;

// One net stream's recorded playback: the file it reads and its player.
class recorded_file_stream {
  public:
    recorded_file_stream(std::filesystem::path folder, rtmp::rtmp_server_connection& connection,
                         rtmp::rtmp_server_netstream& netstream)
        : folder_(std::move(folder)), connection_(connection), netstream_(netstream) {}

    static void bind(const std::shared_ptr<recorded_file_stream>& self,
                     rtmp::rtmp_server_netstream& netstream) {
        netstream.play_handler = [self](light_string name, double start, double, bool) {
            return self->play(name, start);
        };
        netstream.pause_handler = [self](bool pause, bool toggle, double milliseconds) {
            if (self->player_) {
                self->player_->pause(pause, toggle, wire_uint32(milliseconds).value_or(0));
            }
        };
        netstream.pause_raw_handler = [self](bool flag, double milliseconds) {
            if (self->player_) {
                self->player_->pause_raw(flag, wire_uint32(milliseconds).value_or(0));
            }
        };
        netstream.seek_handler = [self](double milliseconds) {
            const auto ms = wire_uint32(milliseconds);
            if (!self->player_ || !ms) {
                return false;
            }
            self->player_->seek(*ms);
            return true;
        };
        netstream.buffer_length_handler = [self](std::uint32_t milliseconds) {
            self->buffer_length_ = milliseconds;
            if (self->player_) {
                self->player_->set_buffer_length(milliseconds);
            }
        };
        netstream.close_stream_handler = [self] { self->stop(); };
        netstream.destroy_handler = [self] { self->stop(); };
    }

  private:
    bool play(light_string name, double start) {
        stop();
        if (!is_valid_file_name(name.view())) {
            return false;
        }
        try {
            source_ = std::make_unique<rtmp::flv_stream_source>(folder_ / (name.str() + ".flv"));
        } catch (const std::exception&) {
            return false;
        }
        auto player = std::make_shared<rtmp::rtmp_recorded_stream_player>(
            rtmp::bind_media_source(*source_), netstream_, connection_);
        player->set_buffer_length(buffer_length_);
        // A client asks for a start offset through the play start.
        if (!player->start(wire_uint32(start).value_or(0))) {
            source_.reset();
            return false;
        }
        player_ = std::move(player);
        return true;
    }

    // The source goes only once the player no longer reads it.
    void stop() {
        if (player_) {
            player_->stop();
        }
        player_.reset();
        source_.reset();
    }

    const std::filesystem::path folder_;
    rtmp::rtmp_server_connection& connection_;
    rtmp::rtmp_server_netstream& netstream_;
    std::unique_ptr<rtmp::flv_stream_source> source_;
    std::shared_ptr<rtmp::rtmp_recorded_stream_player> player_;
    std::uint32_t buffer_length_ = 0;
};

}  // namespace

void bind_recorded_files(rtmp::rtmp_server& server, const std::filesystem::path& folder) {
    server.set_new_connection_handler([folder](const auto& connection) {
        auto& stack = connection->stack();
        stack.connect_handler = [](amf0_object&, std::string&) { return true; };
        stack.netstream_created_handler =
            [folder, &connection = *connection](rtmp::rtmp_server_netstream* stream) {
                recorded_file_stream::bind(
                    std::make_shared<recorded_file_stream>(folder, connection, *stream), *stream);
            };
    });
}

}  // namespace rtmp_test
