#include "platform/quendle/timeline_source.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

extern "C" {
#include <libavutil/rational.h>
}

#include "platform/quendle/settings.hpp"

namespace Quendle {
namespace {

constexpr double max_frame_rate = 1000;
constexpr std::uint32_t max_picture_side = 16384;

}  // namespace

std::unique_ptr<timeline_source> timeline_source::open(const timeline_description& timeline,
                                                       int& error) {
    auto reader = media_reader::open(timeline.clip, !timeline.audio_only, true, error);
    if (!reader) {
        return {};
    }
    const bool has_video = !timeline.audio_only && reader->video_stream() >= 0;
    if (has_video && (timeline.width == 0 || timeline.height == 0 ||
                      timeline.width > max_picture_side || timeline.height > max_picture_side ||
                      timeline.width % 2 != 0 || timeline.height % 2 != 0 ||
                      !(timeline.frame_rate > 0) || timeline.frame_rate > max_frame_rate)) {
        error = AVERROR(EINVAL);
        return {};
    }
    return std::unique_ptr<timeline_source>(
        new timeline_source(std::move(reader), timeline, has_video));
}

timeline_source::timeline_source(std::unique_ptr<media_reader> reader,
                                 const timeline_description& timeline, bool has_video)
    : reader_(std::move(reader)),
      timeline_(timeline),
      has_video_(has_video),
      streams_(reader_->streams()),
      info_{static_cast<std::uint32_t>(streams_.size()), streams_.data()},
      half_interval_(has_video ? std::llround(interface_time_base.den / timeline.frame_rate / 2)
                               : 0),
      scaler_(settings::scale_flags) {
    for (StreamDescription& stream : streams_) {
        if (has_video_ && stream.id == reader_->video_stream()) {
            const AVRational rate = av_d2q(timeline_.frame_rate, 1000000);
            stream.width = timeline_.width;
            stream.height = timeline_.height;
            stream.frame_rate_numerator = static_cast<std::uint32_t>(rate.num);
            stream.frame_rate_denominator = static_cast<std::uint32_t>(rate.den);
            stream.pixel_aspect = 0x00010001;
        }
    }
}

std::int64_t timeline_source::slot_time(std::int64_t slot) const {
    return std::llround(static_cast<double>(slot) * interface_time_base.den / timeline_.frame_rate);
}

std::int64_t timeline_source::first_slot_after(std::int64_t time) const {
    if (time < 0) {
        return 0;
    }
    auto slot = static_cast<std::int64_t>(
        std::floor(static_cast<double>(time) * timeline_.frame_rate / interface_time_base.den));
    while (slot > 0 && slot_time(slot - 1) > time) {
        --slot;
    }
    while (slot_time(slot) <= time) {
        ++slot;
    }
    return slot;
}

bool timeline_source::seek(std::uint32_t ms) {
    clear();
    if (!reader_->seek(ms)) {
        return false;
    }
    if (has_video_) {
        next_slot_ = first_slot_after(std::int64_t{ms} * 10000 - 1);
    }
    return true;
}

void timeline_source::clear() {
    picture_.reset();
    audio_.reset();
    held_ = {};
    held_scaled_.reset();
    following_ = {};
    end_slot_ = -1;
    audio_queue_.clear();
    reader_ended_ = false;
}

bool timeline_source::read_sample(IAudioSample** audio, Vastrel::IRawVideoFrame** video,
                                  std::int64_t* time, int) {
    picture_.reset();
    audio_.reset();
    for (;;) {
        advance_video();
        const bool video_due = video_ready();
        const bool audio_due = audio_ready();
        if (video_due && (!audio_due || slot_time(next_slot_) <= audio_queue_.front().time)) {
            if (!emit_video()) {
                continue;
            }
            break;
        }
        if (audio_due) {
            emit_audio();
            break;
        }
        if (reader_ended_) {
            if (held_.frame && end_slot_ < 0) {
                // The last picture lasts one source interval.
                const std::int64_t interval =
                    reader_->frame_interval() > 0 ? reader_->frame_interval() : 2 * half_interval_;
                end_slot_ =
                    std::max(next_slot_, first_slot_after(held_.time + interval - half_interval_));
                continue;
            }
            if (audio_queue_.empty()) {
                return false;
            }
            continue;
        }
        decoded_frame decoded;
        if (!reader_->next(decoded)) {
            reader_ended_ = true;
        } else if (decoded.video) {
            take_video(decoded);
        } else {
            audio_queue_.push_back(std::move(decoded));
        }
    }
    if (audio != nullptr) {
        *audio = audio_.get();
    }
    if (video != nullptr) {
        *video = picture_.get();
    }
    if (time != nullptr) {
        *time = audio_ ? audio_->GetTime() : static_cast<std::int64_t>(picture_->GetTimestamp());
    }
    return true;
}

void timeline_source::take_video(decoded_frame& decoded) {
    const std::int64_t start = first_slot_after(decoded.time - half_interval_);
    if (!held_.frame) {
        held_ = std::move(decoded);
        next_slot_ = std::max(next_slot_, start);
        return;
    }
    following_ = std::move(decoded);
    end_slot_ = std::max(next_slot_, start);
}

void timeline_source::advance_video() {
    if (held_.frame && end_slot_ >= 0 && next_slot_ >= end_slot_) {
        held_ = std::move(following_);
        following_ = {};
        held_scaled_.reset();
        end_slot_ = -1;
    }
}

bool timeline_source::video_ready() const {
    return held_.frame && end_slot_ >= 0 && next_slot_ < end_slot_;
}

bool timeline_source::video_active() const {
    return has_video_ && (held_.frame || !reader_ended_);
}

bool timeline_source::audio_ready() const {
    if (audio_queue_.empty()) {
        return false;
    }
    if (!video_active()) {
        return true;
    }
    const std::int64_t front = audio_queue_.front().time;
    return front < slot_time(next_slot_) || audio_queue_.back().time - front > max_audio_hold;
}

bool timeline_source::emit_video() {
    if (!held_scaled_) {
        const AVFrame& source = *held_.frame;
        const bool usable_as_is =
            source.format == AV_PIX_FMT_YUV420P && source.color_range != AVCOL_RANGE_JPEG &&
            source.width == static_cast<int>(timeline_.width) &&
            source.height == static_cast<int>(timeline_.height) && source.linesize[0] > 0 &&
            source.linesize[1] > 0 && source.linesize[2] > 0;
        if (usable_as_is) {
            held_scaled_.reset(av_frame_clone(&source));
        } else {
            held_scaled_ =
                Vastrel::allocate_av_frame(AV_PIX_FMT_YUV420P, static_cast<int>(timeline_.width),
                                           static_cast<int>(timeline_.height));
            if (held_scaled_) {
                held_scaled_->color_range = AVCOL_RANGE_MPEG;
                held_scaled_->colorspace = source.colorspace;
                if (!scaler_.scale(source, *held_scaled_)) {
                    held_scaled_.reset();
                }
            }
        }
        if (!held_scaled_) {
            // A picture that cannot be scaled is left out, as a damaged one.
            next_slot_ = end_slot_;
            return false;
        }
    }
    Vastrel::av_frame_ptr output(av_frame_clone(held_scaled_.get()));
    if (!output) {
        next_slot_ = end_slot_;
        return false;
    }
    const std::int64_t time = slot_time(next_slot_++);
    output->pts = time;
    picture_ = std::make_unique<Vastrel::av_picture>(std::move(output), 0, true,
                                                     static_cast<double>(time), false);
    return true;
}

void timeline_source::emit_audio() {
    decoded_frame front = std::move(audio_queue_.front());
    audio_queue_.pop_front();
    audio_ = std::make_unique<decoded_audio>(std::move(front.frame), front.time);
}

}  // namespace Quendle
