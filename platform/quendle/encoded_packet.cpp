#include "platform/quendle/encoded_packet.hpp"

#include <algorithm>

extern "C" {
#include <libavutil/mathematics.h>
}

namespace Quendle {

std::int64_t encoded_packet::time_of(std::int64_t stamp) const {
    if (stamp == AV_NOPTS_VALUE) {
        return no_time;
    }
    return std::max<std::int64_t>(0, av_rescale_q(stamp, time_base_, interface_time_base));
}

void packet_queue::receive_all(AVCodecContext& encoder) {
    for (;;) {
        packet_ptr packet(av_packet_alloc());
        if (!packet || avcodec_receive_packet(&encoder, packet.get()) < 0) {
            return;
        }
        waiting_.push_back(std::move(packet));
    }
}

IAVPacket* packet_queue::next() {
    current_.reset();
    if (waiting_.empty()) {
        return nullptr;
    }
    current_ = std::make_unique<encoded_packet>(std::move(waiting_.front()), time_base_);
    waiting_.pop_front();
    return current_.get();
}

}  // namespace Quendle
