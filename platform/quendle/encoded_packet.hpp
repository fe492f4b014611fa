#pragma once

#include <cstdint>
#include <deque>

#include "platform/quendle/ffmpeg_handles.hpp"
#include "platform/quendle/quendle.hpp"

namespace Quendle {

// A packet of an encoder, its times given in the encoder's time base and
// handed out in units of 100 ns, never below 0.
class encoded_packet final : public IAVPacket {
  public:
    encoded_packet(packet_ptr packet, AVRational time_base)
        : packet_(std::move(packet)), time_base_(time_base) {}

    std::int64_t GetPresentationTime() const override { return time_of(packet_->pts); }
    std::int64_t GetDecodeTime() const override { return time_of(packet_->dts); }
    std::uint32_t GetSize() const override { return static_cast<std::uint32_t>(packet_->size); }
    const std::uint8_t* GetData() const override { return packet_->data; }
    bool IsKeyframe() const override { return (packet_->flags & AV_PKT_FLAG_KEY) != 0; }

  private:
    std::int64_t time_of(std::int64_t stamp) const;

    packet_ptr packet_;
    AVRational time_base_;
};

// What an encoder has made and not handed out yet, in order; at most one
// packet leaves per call, and it stays valid until the next.
class packet_queue {
  public:
    explicit packet_queue(AVRational time_base = interface_time_base) : time_base_(time_base) {}
    void set_time_base(AVRational time_base) { time_base_ = time_base; }

    // Takes every packet that the encoder has ready.
    void receive_all(AVCodecContext& encoder);
    // The first packet waiting, or none.
    IAVPacket* next();
    bool empty() const { return waiting_.empty(); }

  private:
    AVRational time_base_;
    std::deque<packet_ptr> waiting_;
    std::unique_ptr<encoded_packet> current_;
};

}  // namespace Quendle
