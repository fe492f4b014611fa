#include "rtmp/tests/live_relay.hpp"

#include <boost/asio/ip/address.hpp>

#include <memory>

#include "rtmp/rtmp_live_stream_player.hpp"

namespace rtmp_test {

namespace {

// One net stream's publisher or player.
class relay_stream {
  public:
    relay_stream(rtmp::rtmp_live_streams& registry, rtmp::rtmp_server_connection& connection,
                 rtmp::rtmp_server_netstream& netstream)
        : registry_(registry), connection_(connection), netstream_(netstream) {}

    static void bind(const std::shared_ptr<relay_stream>& self,
                     rtmp::rtmp_server_netstream& netstream) {
        netstream.play_handler = [self](light_string name, double start, double, bool) {
            return self->play(name, start);
        };
        netstream.publish_handler = [self](light_string name, light_string) {
            return self->publish(name);
        };
        netstream.video_handler = [self](const std::uint8_t* data, std::uint32_t size,
                                         std::uint32_t time) {
            if (self->published_) {
                self->published_->on_video(data, size, time);
            }
        };
        netstream.audio_handler = [self](const std::uint8_t* data, std::uint32_t size,
                                         std::uint32_t time) {
            if (self->published_) {
                self->published_->on_audio(data, size, time);
            }
        };
        netstream.data_handler = [self](buffer_reader& reader, std::uint32_t time) {
            if (self->published_) {
                self->published_->on_data(reader, time);
            }
        };
        netstream.pause_handler = [self](bool pause, bool toggle, double) {
            if (self->player_) {
                self->player_->pause(pause, toggle);
            }
        };
        netstream.seek_handler = [self](double milliseconds) {
            const auto ms = rtmp::wire_uint32(milliseconds);
            if (!self->player_ || !ms) {
                return false;
            }
            self->player_->seek(*ms);
            return true;
        };
        netstream.receive_video_handler = [self](bool receive) {
            if (self->player_) {
                self->player_->set_receive_video(receive);
            }
        };
        netstream.receive_audio_handler = [self](bool receive) {
            if (self->player_) {
                self->player_->set_receive_audio(receive);
            }
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
        auto player = std::make_unique<rtmp::rtmp_live_stream_player>(
            registry_, connection_.send_queue(), netstream_, connection_.context());
        player->set_buffer_length(buffer_length_);
        if (!player->play(start, name.view())) {
            return false;
        }
        player_ = std::move(player);
        return true;
    }

    bool publish(light_string name) {
        stop();
        published_ = registry_.publish(name.view());
        return published_ != nullptr;
    }

    void stop() {
        player_.reset();
        if (published_) {
            published_->unpublish(registry_);
            published_ = nullptr;
        }
    }

    rtmp::rtmp_live_streams& registry_;
    rtmp::rtmp_server_connection& connection_;
    rtmp::rtmp_server_netstream& netstream_;
    std::unique_ptr<rtmp::rtmp_live_stream_player> player_;
    rtmp::rtmp_live_stream* published_ = nullptr;
    std::uint32_t buffer_length_ = 100;
};

}  // namespace

void bind_live_relay(rtmp::rtmp_server_connection& connection, rtmp::rtmp_live_streams& registry) {
    auto& stack = connection.stack();
    stack.connect_handler = [](amf0_object&, std::string&) { return true; };
    stack.netstream_created_handler = [&registry,
                                       &connection](rtmp::rtmp_server_netstream* stream) {
        relay_stream::bind(std::make_shared<relay_stream>(registry, connection, *stream), *stream);
    };
}

void bind_live_relay(rtmp::rtmp_server& server, rtmp::rtmp_live_streams& registry) {
    server.set_new_connection_handler(
        [&registry](const auto& connection) { bind_live_relay(*connection, registry); });
}

void loopback_relay::start(std::int32_t idle_timeout, connection_handler also) {
    context.idle_timeout = idle_timeout;
    server = std::make_shared<rtmp::rtmp_server>(
        pool, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0),
        context);
    server->set_new_connection_handler([this, also](const auto& connection) {
        bind_live_relay(*connection, registry);
        if (also) {
            also(connection);
        }
    });
    server->start();
    port = server->local_endpoint().port();
}

void loopback_relay::stop() {
    if (server) {
        server->stop();
    }
    pool.stop();
    server.reset();
}

}  // namespace rtmp_test
