#include "vornebased/raw_video_frame.hpp"

#include <algorithm>
#include <memory>

#include "vornebased/vorne_exception.hpp"

namespace Vastrel {
namespace {

constexpr const char* module = "raw_video_frame";
constexpr std::int64_t buffer_alignment = 16;

std::int64_t RoundUpToAlignment(std::int64_t size) {
    return (size + buffer_alignment - 1) / buffer_alignment * buffer_alignment;
}

}  // namespace

CRawVideoFrame::CRawVideoFrame(bool owns_itself, int pixel_format, int width, int height,
                               bool top_down)
    : pixel_format_(pixel_format),
      width_(width),
      height_(height),
      top_down_(top_down),
      owns_itself_(owns_itself) {
    LayOutPlanes();
}

void CRawVideoFrame::LayOutPlanes() {
    const int w = width_;
    const int h = height_;
    // Width in bytes, rows, horizontal bytes per pixel, vertical divisor.
    const auto add = [this](int width_bytes, int rows, std::uint16_t num, std::uint16_t den,
                            int vertical_divisor) {
        planes_.push_back(plane{.width_bytes = width_bytes,
                                .rows = rows,
                                .bytes_per_pixel_num = num,
                                .bytes_per_pixel_den = den,
                                .vertical_divisor = vertical_divisor});
    };
    const auto luma = [&] { add(w, h, 1, 1, 1); };
    switch (pixel_format_) {
        case 0:
        case 12:  // 4:2:0
            luma();
            add(w >> 1, h >> 1, 1, 2, 2);
            add(w >> 1, h >> 1, 1, 2, 2);
            break;
        case 4:
        case 13:  // 4:2:2
            luma();
            add(w >> 1, h, 1, 2, 1);
            add(w >> 1, h, 1, 2, 1);
            break;
        case 5:
        case 14:  // 4:4:4
            luma();
            luma();
            luma();
            break;
        case 6:  // 4:1:0
            luma();
            add(w >> 2, h >> 2, 1, 4, 4);
            add(w >> 2, h >> 2, 1, 4, 4);
            break;
        case 7:  // 4:1:1
            luma();
            add(w >> 2, h, 1, 4, 1);
            add(w >> 2, h, 1, 4, 1);
            break;
        case 11:
            luma();
            add(0, 0, 0, 1, 1);
            break;
        case 33:  // 4:4:0
            luma();
            add(w, h >> 1, 1, 1, 2);
            add(w, h >> 1, 1, 1, 2);
            break;
        case 35:  // 4:2:0 and a full plane
            luma();
            add(w >> 1, h >> 1, 1, 2, 2);
            add(w >> 1, h >> 1, 1, 2, 2);
            luma();
            break;
        case 60:
            luma();
            luma();
            luma();
            luma();
            break;
        case 1:
        case 17:
        case 43:
        case 44:
        case 45:
        case 46:
        case 47:
        case 48:
        case 49:
        case 50:
            add(w * 2, h, 2, 1, 1);
            break;
        case 2:
        case 3:
            add(w * 3, h, 3, 1, 1);
            break;
        case 9:
        case 10:  // one bit per pixel
            add(w >> 3, h, 1, 8, 1);
            break;
        case 18:
            add(w * 6 / 4, h, 6, 4, 1);
            break;
        case 27:
        case 28:
        case 29:
        case 30:
            add(w * 4, h, 4, 1, 1);
            break;
        default:
            VorneBased::Raise(VorneBased::error::bad_argument, "Bad pixel format", module);
    }
    packed_ = planes_.size() == 1;
}

CRawVideoFrame::CRawVideoFrame(const CRawVideoFrame& other)
    : pixel_format_(other.pixel_format_),
      width_(other.width_),
      height_(other.height_),
      tag_(other.tag_),
      top_down_(other.top_down_),
      packed_(other.packed_),
      flag22_(other.flag22_),
      owns_itself_(false),
      flag25_(other.flag25_),
      flag24_(other.flag24_),
      planes_(other.planes_),
      timestamp_(other.timestamp_),
      crop_x_(other.crop_x_),
      crop_y_(other.crop_y_),
      int_param_(other.int_param_),
      ratio_first_(other.ratio_first_),
      ratio_second_(other.ratio_second_) {
    // Only planes that have pixels take room; each starts on a 16-byte
    // boundary. The others keep no memory in the copy either.
    const auto has_pixels = [](const plane& p) {
        return p.width_bytes != 0 && p.data != nullptr && p.pitch > 0 && p.rows > 0;
    };
    std::int64_t size = 0;
    for (const plane& p : planes_) {
        if (has_pixels(p)) {
            size += RoundUpToAlignment(std::int64_t{p.pitch} * p.rows);
        }
    }
    if (size > 0) {
        buffer_.Alloc(static_cast<std::size_t>(size));
    }
    auto* next = static_cast<std::uint8_t*>(buffer_.get());
    for (plane& p : planes_) {
        if (!has_pixels(p)) {
            p.data = nullptr;
            p.pitch = 0;
            continue;
        }
        const std::int64_t bytes = std::int64_t{p.pitch} * p.rows;
        VastrelMemCopy(next, p.data, static_cast<std::size_t>(bytes));
        p.data = next;
        next += RoundUpToAlignment(bytes);
    }
}

CRawVideoFrame::~CRawVideoFrame() = default;

void CRawVideoFrame::GetSize(int& width, int& height) const {
    width = width_ - crop_x_;
    height = height_ - crop_y_;
}

std::int64_t CRawVideoFrame::GetDataSize() const {
    std::int64_t size = 0;
    for (const plane& p : planes_) {
        size += std::int64_t{p.rows} * p.pitch;
    }
    return size;
}

std::uint8_t* CRawVideoFrame::GetPlane(int index, int& width_bytes, int& pitch, int& rows) const {
    if (index < 0 || static_cast<std::size_t>(index) >= planes_.size()) {
        width_bytes = pitch = rows = 0;
        return nullptr;
    }
    const plane& p = planes_[static_cast<std::size_t>(index)];
    // The crop takes columns off the right and rows off the bottom; in a
    // bottom-up frame the bottom rows come first in memory. A plane never
    // shrinks below nothing, nor is its first row looked for past its end.
    const int hidden_rows = std::min(crop_y_, p.rows);
    width_bytes =
        std::max(0, p.width_bytes - crop_x_ * p.bytes_per_pixel_num / p.bytes_per_pixel_den);
    rows = p.rows - hidden_rows;
    pitch = p.pitch;
    if (top_down_ || p.data == nullptr) {
        return p.data;
    }
    return p.data + std::int64_t{hidden_rows} * p.pitch;
}

bool CRawVideoFrame::SetCropOffset(int x, int y) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) {
        return false;
    }
    crop_x_ = x;
    crop_y_ = y;
    return true;
}

void CRawVideoFrame::Release() {
    if (owns_itself_) {
        delete this;
    }
}

int CRawVideoFrame::GetRatio(int& second) const {
    second = ratio_second_;
    return ratio_first_;
}

void CRawVideoFrame::SetRatio(int first, int second) {
    ratio_first_ = first;
    ratio_second_ = second;
}

IRawVideoFrame* CRawVideoFrame::Clone() const {
    auto copy = std::make_unique<CRawVideoFrame>(*this);
    copy->owns_itself_ = true;
    return copy.release();
}

bool CRawVideoFrame::AttachPlane(int index, std::uint8_t* data, int pitch) {
    if (index < 0 || static_cast<std::size_t>(index) >= planes_.size() || pitch < 0) {
        return false;
    }
    planes_[static_cast<std::size_t>(index)].data = data;
    planes_[static_cast<std::size_t>(index)].pitch = pitch;
    return true;
}

}  // namespace Vastrel
