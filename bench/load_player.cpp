#include "bench/load_player.hpp"

#include <boost/asio/write.hpp>

#include <algorithm>
#include <cstring>
#include <exception>
#include <optional>
#include <random>
#include <utility>

#include "foundation/amf0.hpp"
#include "foundation/buffer.hpp"
#include "rtmp/rtmp_handshake.hpp"

namespace bench {

namespace {

using rtmp::rtmp_handshake;
namespace message_type = rtmp::message_type;

constexpr std::size_t read_size = 16384;
constexpr double connect_transaction = 1;
constexpr double create_stream_transaction = 2;
constexpr std::uint32_t command_csid = 3;
constexpr std::uint32_t play_csid = 8;
// Live, or recorded when nothing of that name is live.
constexpr double play_live_or_recorded = -2000;

std::int64_t milliseconds_of(steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

// The bytes of a block taken from the pool.
block_buffer block_of(block_malloc_array& pool, const void* data, std::uint32_t size) {
    unsigned exponent = block_malloc_array::base_exponent;
    while ((1u << exponent) < size) {
        ++exponent;
    }
    block_buffer block = pool(exponent);
    std::memcpy(block.data(), data, size);
    block.set_size(size);
    return block;
}

// A plain C0+C1: version 3, time 0, a zero version word and filler.
std::vector<std::uint8_t> plain_c0c1() {
    std::vector<std::uint8_t> bytes(rtmp_handshake::c0c1_size, 0);
    bytes[0] = 3;
    std::minstd_rand filler(std::random_device{}());
    for (std::size_t i = 9; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(filler());
    }
    return bytes;
}

std::string text_of(const amf0_based* value) {
    if (value == nullptr || value->marker != amf0_string::type_marker) {
        return {};
    }
    return static_cast<const amf0_string*>(value)->value.str();
}

std::optional<double> number_of(const amf0_based* value) {
    if (value == nullptr || value->marker != amf0_number::type_marker) {
        return std::nullopt;
    }
    return static_cast<const amf0_number*>(value)->value;
}

// The code and level of a status or error object; empty when it is none.
std::pair<std::string, std::string> status_of(const amf0_based* value) {
    if (value == nullptr || value->marker != amf0_object::type_marker) {
        return {};
    }
    const auto& object = static_cast<const amf0_object&>(*value);
    return {text_of(object.find("code")), text_of(object.find("level"))};
}

// Sequence headers are replayed to every joining player out of their time:
// they say nothing about how live the stream is.
bool is_sequence_header(std::uint8_t type, const std::uint8_t* body, std::uint32_t size) {
    if (size < 2) {
        return false;
    }
    if (type == message_type::video) {
        return (body[0] & 0x0F) == 7 && body[1] == 0;
    }
    return (body[0] >> 4) == 10 && body[1] == 0;
}

}  // namespace

load_player::load_player(boost::asio::io_context& io, const load_target& target,
                         block_malloc_array& pool)
    : socket_(io), target_(target), pool_(pool), read_buffer_(read_size) {
    callbacks_.allocate = [this](unsigned exponent) { return pool_(exponent); };
    // The client's chunk layer writes every message into its blocks: an
    // item is its block alone.
    callbacks_.send = [this](rtmp::output_item& item) {
        queue(std::move(item.block()));
        item.reset();
        return true;
    };
}

void load_player::start() {
    socket_.async_connect(target_.endpoint,
                          [self = shared_from_this()](const boost::system::error_code& error) {
                              if (error) {
                                  self->fail("connect: " + error.message());
                              } else {
                                  self->on_connected();
                              }
                          });
}

void load_player::stop() {
    stopped_ = true;
    boost::system::error_code ignored;
    socket_.close(ignored);
}

void load_player::on_connected() {
    if (stopped_) {
        return;
    }
    boost::system::error_code ignored;
    socket_.set_option(boost::asio::ip::tcp::no_delay(true), ignored);
    state_ = state::handshaking;
    const auto c0c1 = plain_c0c1();
    queue(block_of(pool_, c0c1.data(), static_cast<std::uint32_t>(c0c1.size())));
    read_more();
}

void load_player::read_more() {
    socket_.async_read_some(
        boost::asio::buffer(read_buffer_),
        [self = shared_from_this()](const boost::system::error_code& error, std::size_t count) {
            if (error) {
                self->fail(error == boost::asio::error::eof ? "closed by the server"
                                                            : "read: " + error.message());
                return;
            }
            self->on_read(count);
        });
}

void load_player::on_read(std::size_t count) {
    if (stopped_) {
        return;
    }
    bytes_ += count;
    try {
        if (chunks_) {
            chunks_->on_data(read_buffer_.data(), static_cast<std::uint32_t>(count));
        } else {
            on_handshake_bytes(read_buffer_.data(), count);
        }
    } catch (const std::exception& e) {
        fail(e.what());
        return;
    }
    if (current_state() != state::failed) {
        read_more();
    }
}

void load_player::on_handshake_bytes(const std::uint8_t* data, std::size_t count) {
    const std::size_t wanted = rtmp_handshake::answer_size - handshake_.size();
    const std::size_t taken = std::min(wanted, count);
    handshake_.insert(handshake_.end(), data, data + taken);
    if (handshake_.size() < rtmp_handshake::answer_size) {
        return;
    }
    if (handshake_[0] != 3) {
        throw std::runtime_error("handshake: S0 is not version 3");
    }
    // C2 echoes S1.
    queue(block_of(pool_, handshake_.data() + 1, rtmp_handshake::packet_size));
    handshake_.clear();
    handshake_.shrink_to_fit();

    chunks_ = std::make_unique<rtmp::rtmp_chunkstreams>(callbacks_, 0);
    chunks_->message_handler = [this](const std::uint8_t* body, std::uint32_t size,
                                      std::uint32_t timestamp, std::uint8_t type,
                                      std::uint32_t) { on_message(body, size, timestamp, type); };
    state_ = state::connecting_app;
    send_connect();
    if (count > taken) {
        chunks_->on_data(data + taken, static_cast<std::uint32_t>(count - taken));
    }
}

void load_player::queue(block_buffer block) {
    if (stopped_ || current_state() == state::failed) {
        return;
    }
    out_.push_back(std::move(block));
    if (!writing_) {
        write_next();
    }
}

void load_player::write_next() {
    writing_ = true;
    const block_buffer& front = out_.front();
    boost::asio::async_write(
        socket_, boost::asio::buffer(front.data(), front.size()),
        [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
            self->writing_ = false;
            if (error) {
                self->fail("write: " + error.message());
                return;
            }
            self->out_.pop_front();
            if (!self->out_.empty()) {
                self->write_next();
            }
        });
}

void load_player::fail(std::string why) {
    if (stopped_ || current_state() == state::failed) {
        return;
    }
    failure_ = std::move(why);
    state_ = state::failed;
    boost::system::error_code ignored;
    socket_.close(ignored);
}

void load_player::on_message(const std::uint8_t* body, std::uint32_t size, std::uint32_t timestamp,
                             std::uint8_t type) {
    switch (type) {
        case message_type::command_amf0:
            on_command(body, size);
            break;
        case message_type::audio:
        case message_type::video:
            on_media(type, body, size, timestamp);
            break;
        case message_type::data_amf0:
            on_data(body, size);
            break;
        default:
            break;
    }
}

void load_player::on_command(const std::uint8_t* body, std::uint32_t size) {
    buffer_reader in(body, size);
    const std::string name = text_of(amf0_read_value(in).get());
    const auto transaction = number_of(amf0_read_value(in).get());
    if (name == "_result" && transaction == connect_transaction) {
        state_ = state::creating_stream;
        send_create_stream();
    } else if (name == "_result" && transaction == create_stream_transaction) {
        amf0_read_value(in);  // the null command object
        const auto stream_id = number_of(amf0_read_value(in).get());
        if (!stream_id || *stream_id < 1) {
            throw std::runtime_error("createStream: no stream id");
        }
        send_play(static_cast<std::uint32_t>(*stream_id));
    } else if (name == "_error") {
        amf0_read_value(in);
        throw std::runtime_error("_error " + status_of(amf0_read_value(in).get()).first);
    } else if (name == "onStatus") {
        amf0_read_value(in);
        const auto [code, level] = status_of(amf0_read_value(in).get());
        if (level == "error") {
            throw std::runtime_error(code);
        }
        if (code == "NetStream.Play.Start") {
            state_ = state::playing;
        }
    }
}

// Data messages are the publisher's: one we cannot read is skipped, as a
// player does.
void load_player::on_data(const std::uint8_t* body, std::uint32_t size) try {
    buffer_reader in(body, size);
    if (text_of(amf0_read_value(in).get()) != "onMetaData") {
        return;
    }
    const auto values = amf0_read_value(in);
    if (values && (values->marker == amf0_object::type_marker ||
                   values->marker == amf0_mixed_array::type_marker)) {
        const auto& metadata = static_cast<const amf0_keyed&>(*values);
        framerate_ = number_of(metadata.find("framerate")).value_or(framerate_);
    }
} catch (const std::exception&) {
}

void load_player::on_media(std::uint8_t type, const std::uint8_t* body, std::uint32_t size,
                           std::uint32_t timestamp) {
    ++(type == message_type::video ? video_frames_ : audio_frames_);
    if (is_sequence_header(type, body, size)) {
        return;
    }
    const std::int64_t now = milliseconds_of(steady_clock::now());
    if (!has_media_) {
        last_timestamp_ = newest_timestamp_ = timestamp;
        best_offset_ = now - timestamp;
        last_arrival_ = now;
        has_media_ = true;
    } else {
        // Audio and video interleave a little out of order: a step back is
        // a step back, not a wrap.
        last_timestamp_ += static_cast<std::int32_t>(timestamp - last_raw_timestamp_);
        newest_timestamp_ = std::max(newest_timestamp_, last_timestamp_);
        best_offset_ = std::min(best_offset_, now - last_timestamp_);
        longest_gap_ = std::max(longest_gap_, now - last_arrival_);
        last_arrival_ = now;
    }
    last_raw_timestamp_ = timestamp;
}

player_sample load_player::sample(steady_clock::time_point at) {
    const std::int64_t now = milliseconds_of(at);
    player_sample s;
    s.playing = current_state() == state::playing;
    s.failed = current_state() == state::failed;
    s.failure = failure_;
    s.bytes = bytes_;
    s.video_frames = video_frames_;
    s.audio_frames = audio_frames_;
    s.has_media = has_media_;
    s.newest_media_ms = newest_timestamp_;
    s.framerate = framerate_;
    if (has_media_) {
        s.lag_ms = std::max<std::int64_t>(0, now - newest_timestamp_ - best_offset_);
        s.longest_gap_ms = std::max(longest_gap_, now - last_arrival_);
    }
    longest_gap_ = 0;
    return s;
}

void load_player::send_connect() {
    own_buffer_writer body;
    amf0_string("connect").write(body);
    amf0_number(connect_transaction).write(body);
    amf0_object command;
    command.insert("app", std::make_unique<amf0_string>(target_.app));
    command.insert("flashVer", std::make_unique<amf0_string>("LNX 9,0,124,2"));
    command.insert("tcUrl", std::make_unique<amf0_string>(target_.tc_url));
    command.insert("fpad", std::make_unique<amf0_bool>(false));
    command.insert("capabilities", std::make_unique<amf0_number>(15));
    command.insert("audioCodecs", std::make_unique<amf0_number>(4071));
    command.insert("videoCodecs", std::make_unique<amf0_number>(252));
    command.insert("videoFunction", std::make_unique<amf0_number>(1));
    command.write(body);
    chunks_->write_message(chunks_->open_output_stream(command_csid), message_type::command_amf0, 0,
                           0, body.data, body.size);
    chunks_->flush();
}

void load_player::send_create_stream() {
    own_buffer_writer body;
    amf0_string("createStream").write(body);
    amf0_number(create_stream_transaction).write(body);
    amf0_null().write(body);
    chunks_->write_message(chunks_->open_output_stream(command_csid), message_type::command_amf0, 0,
                           0, body.data, body.size);
    chunks_->flush();
}

void load_player::send_play(std::uint32_t stream_id) {
    own_buffer_writer body;
    amf0_string("play").write(body);
    amf0_number(0).write(body);
    amf0_null().write(body);
    amf0_string(target_.stream).write(body);
    amf0_number(play_live_or_recorded).write(body);
    chunks_->write_message(chunks_->open_output_stream(play_csid), message_type::command_amf0,
                           stream_id, 0, body.data, body.size);

    // Set Buffer Length, a user control event on the control stream.
    own_buffer_writer event;
    event.write_u16_be(rtmp::user_control::set_buffer_length);
    event.write_u32_be(stream_id);
    event.write_u32_be(target_.buffer_ms);
    chunks_->write_message(chunks_->open_output_stream(rtmp::rtmp_chunkstreams::control_csid),
                           message_type::user_control, 0, 0, event.data, event.size);
    chunks_->flush();
}

}  // namespace bench
