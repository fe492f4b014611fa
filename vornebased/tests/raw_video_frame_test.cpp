#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <tuple>
#include <utility>
#include <vector>

#include "vornebased/raw_video_frame.hpp"
#include "vornebased/vorne_exception.hpp"

namespace {

using Vastrel::CRawVideoFrame;
using Vastrel::frame_ptr;
using VorneBased::CBaseException;

using plane_sizes = std::vector<std::pair<int, int>>;  // bytes per row, rows

struct plane_view {
    const std::uint8_t* data;
    int width;
    int pitch;
    int rows;
};

plane_view Plane(const Vastrel::IRawVideoFrame& frame, int index) {
    plane_view plane{nullptr, -1, -1, -1};
    plane.data = frame.GetPlane(index, plane.width, plane.pitch, plane.rows);
    return plane;
}

std::pair<int, int> VisibleSize(const Vastrel::IRawVideoFrame& frame) {
    std::pair<int, int> size;
    frame.GetSize(size.first, size.second);
    return size;
}

plane_sizes PlaneSizes(const CRawVideoFrame& frame) {
    plane_sizes sizes;
    for (int i = 0; i < frame.GetPlaneCount(); ++i) {
        const plane_view plane = Plane(frame, i);
        sizes.emplace_back(plane.width, plane.rows);
    }
    return sizes;
}

bool Aligned(const void* p) {
    return reinterpret_cast<std::uintptr_t>(p) % 16 == 0;
}

TEST(RawVideoFrame, EveryFormatLaysOutItsPlanes) {
    struct layout_case {
        std::vector<int> formats;
        bool packed;
        plane_sizes at_640x480;
        plane_sizes at_641x481;  // halving and quartering round down
    } cases[] = {
        {{0, 12},
         false,
         {{640, 480}, {320, 240}, {320, 240}},
         {{641, 481}, {320, 240}, {320, 240}}},
        {{1, 17, 43, 44, 45, 46, 47, 48, 49, 50}, true, {{1280, 480}}, {{1282, 481}}},
        {{2, 3}, true, {{1920, 480}}, {{1923, 481}}},
        {{4, 13},
         false,
         {{640, 480}, {320, 480}, {320, 480}},
         {{641, 481}, {320, 481}, {320, 481}}},
        {{5, 14},
         false,
         {{640, 480}, {640, 480}, {640, 480}},
         {{641, 481}, {641, 481}, {641, 481}}},
        {{6}, false, {{640, 480}, {160, 120}, {160, 120}}, {{641, 481}, {160, 120}, {160, 120}}},
        {{7}, false, {{640, 480}, {160, 480}, {160, 480}}, {{641, 481}, {160, 481}, {160, 481}}},
        {{9, 10}, true, {{80, 480}}, {{80, 481}}},
        {{11}, false, {{640, 480}, {0, 0}}, {{641, 481}, {0, 0}}},
        {{18}, true, {{960, 480}}, {{961, 481}}},
        {{27, 28, 29, 30}, true, {{2560, 480}}, {{2564, 481}}},
        {{33}, false, {{640, 480}, {640, 240}, {640, 240}}, {{641, 481}, {641, 240}, {641, 240}}},
        {{35},
         false,
         {{640, 480}, {320, 240}, {320, 240}, {640, 480}},
         {{641, 481}, {320, 240}, {320, 240}, {641, 481}}},
        {{60},
         false,
         {{640, 480}, {640, 480}, {640, 480}, {640, 480}},
         {{641, 481}, {641, 481}, {641, 481}, {641, 481}}},
    };
    for (const auto& c : cases) {
        for (const int format : c.formats) {
            for (const auto& [width, height, expected] :
                 {std::tuple{640, 480, c.at_640x480}, std::tuple{641, 481, c.at_641x481}}) {
                const CRawVideoFrame frame(false, format, width, height, true);
                EXPECT_EQ(frame.GetPixelFormat(), format);
                EXPECT_EQ(frame.GetFlag5(), c.packed) << format;
                EXPECT_EQ(frame.GetPlaneCount(), static_cast<int>(expected.size())) << format;
                EXPECT_EQ(PlaneSizes(frame), expected) << format << " at " << width;
                EXPECT_EQ(frame.GetDataSize(), 0) << "no pixel memory yet";
            }
        }
    }
}

TEST(RawVideoFrame, UnknownFormatsAreRefused) {
    for (const int format : {8, -1, 15, 16, 19, 26, 31, 61}) {
        try {
            CRawVideoFrame frame(false, format, 640, 480, true);
            ADD_FAILURE() << "format " << format << " was taken";
        } catch (const CBaseException& e) {
            int line = 0;
            EXPECT_EQ(e.GetCode(), VorneBased::error::bad_argument);
            EXPECT_STREQ(e.GetMessage(), "Bad pixel format");
            EXPECT_STREQ(e.GetFile(line), "raw_video_frame");
        }
    }
}

TEST(RawVideoFrame, PropertiesStartAtTheirDefaults) {
    CRawVideoFrame frame(false, 0, 640, 480, false);
    int second = -1;
    EXPECT_EQ(frame.GetTag(), 0);
    EXPECT_FALSE(frame.IsTopDown());
    EXPECT_EQ(frame.GetTimestamp(), 0.0);
    EXPECT_EQ(frame.GetIntParam(), 1);
    EXPECT_EQ(frame.GetRatio(second), 1);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(frame.GetFlag22(), 1);
    EXPECT_EQ(frame.GetFlag24(), 0);
    EXPECT_EQ(frame.GetFlag25(), 0);
    EXPECT_EQ(VisibleSize(frame), std::pair(640, 480));
    EXPECT_EQ(Plane(frame, 3).data, nullptr);
    EXPECT_EQ(Plane(frame, -1).data, nullptr);
}

// A 4:2:0 picture with padded rows, in memory of the test's own.
struct picture_memory {
    std::vector<std::uint8_t> luma = std::vector<std::uint8_t>(672 * 480);
    std::vector<std::uint8_t> chroma_u = std::vector<std::uint8_t>(336 * 240);
    std::vector<std::uint8_t> chroma_v = std::vector<std::uint8_t>(336 * 240);

    void AttachTo(CRawVideoFrame& frame) {
        ASSERT_TRUE(frame.AttachPlane(0, luma.data(), 672));
        ASSERT_TRUE(frame.AttachPlane(1, chroma_u.data(), 336));
        ASSERT_TRUE(frame.AttachPlane(2, chroma_v.data(), 336));
    }
};

TEST(RawVideoFrame, CropTakesColumnsOffTheRightAndRowsOffTheBottom) {
    for (const bool top_down : {true, false}) {
        picture_memory memory;
        CRawVideoFrame frame(false, 0, 640, 480, top_down);
        memory.AttachTo(frame);
        EXPECT_FALSE(frame.SetCropOffset(640, 0));
        EXPECT_FALSE(frame.SetCropOffset(0, 480));
        EXPECT_FALSE(frame.SetCropOffset(-1, 0));
        EXPECT_FALSE(frame.SetCropOffset(0, -1));
        ASSERT_TRUE(frame.SetCropOffset(16, 8));
        EXPECT_EQ(VisibleSize(frame), std::pair(624, 472));

        // In a bottom-up frame the bottom rows come first in memory.
        const plane_view luma = Plane(frame, 0);
        EXPECT_EQ(luma.data, memory.luma.data() + (top_down ? 0 : 8 * 672));
        EXPECT_EQ(std::tuple(luma.width, luma.pitch, luma.rows), std::tuple(624, 672, 472));
        const plane_view chroma = Plane(frame, 2);
        EXPECT_EQ(chroma.data, memory.chroma_v.data() + (top_down ? 0 : 8 * 336));
        EXPECT_EQ(std::tuple(chroma.width, chroma.pitch, chroma.rows), std::tuple(312, 336, 232));
        EXPECT_EQ(frame.GetDataSize(), 672 * 480 + 2 * 336 * 240) << "the crop hides, keeps";
    }

    struct bytes_per_pixel_case {
        int format;
        int width_after_crop_16;
    } packed[] = {{2, 1920 - 48}, {9, 80 - 2}, {18, 960 - 24}, {30, 2560 - 64}};
    for (const auto& c : packed) {
        CRawVideoFrame frame(false, c.format, 640, 480, true);
        ASSERT_TRUE(frame.SetCropOffset(16, 0));
        EXPECT_EQ(Plane(frame, 0).width, c.width_after_crop_16) << c.format;
    }
}

TEST(RawVideoFrame, CloneHoldsEveryPlaneInOneAlignedBufferOfItsOwn) {
    // Two planes of 100 x 3 and 50 x 3 bytes; the third has no memory.
    std::vector<std::uint8_t> first(300);
    std::vector<std::uint8_t> second(150);
    for (std::size_t i = 0; i < first.size(); ++i) {
        first[i] = static_cast<std::uint8_t>(i);
    }
    for (std::size_t i = 0; i < second.size(); ++i) {
        second[i] = static_cast<std::uint8_t>(255 - i);
    }
    CRawVideoFrame frame(false, 4, 100, 3, true);
    ASSERT_TRUE(frame.AttachPlane(0, first.data(), 100));
    ASSERT_TRUE(frame.AttachPlane(1, second.data(), 50));
    frame.SetTag(7);
    frame.SetIntParam(3);
    frame.SetRatio(16, 9);
    frame.SetFlag24(5);
    ASSERT_TRUE(frame.SetCropOffset(2, 1));

    const frame_ptr clone(frame.Clone());
    auto& copy = static_cast<CRawVideoFrame&>(*clone);
    EXPECT_EQ(copy.copy_buffer_size(), 304u + 160u);
    EXPECT_EQ(frame.copy_buffer_size(), 0u);

    ASSERT_TRUE(copy.SetCropOffset(0, 0));
    const plane_view luma = Plane(copy, 0);
    EXPECT_TRUE(Aligned(luma.data));
    EXPECT_EQ(std::tuple(luma.width, luma.pitch, luma.rows), std::tuple(100, 100, 3));
    const plane_view chroma = Plane(copy, 1);
    EXPECT_EQ(chroma.data, luma.data + 304);
    EXPECT_EQ(std::tuple(chroma.width, chroma.pitch, chroma.rows), std::tuple(50, 50, 3));
    EXPECT_EQ(Plane(copy, 2).data, nullptr) << "no memory, none copied";
    EXPECT_EQ(std::memcmp(luma.data, first.data(), 300), 0);
    EXPECT_EQ(std::memcmp(chroma.data, second.data(), 150), 0);

    first[0] = 99;  // the copy does not follow its original
    EXPECT_EQ(luma.data[0], 0);

    int ratio_second = 0;
    EXPECT_EQ(copy.GetTag(), 7);
    EXPECT_EQ(copy.GetIntParam(), 3);
    EXPECT_EQ(copy.GetRatio(ratio_second), 16);
    EXPECT_EQ(ratio_second, 9);
    EXPECT_EQ(copy.GetFlag24(), 5);
    EXPECT_EQ(copy.GetPixelFormat(), 4);

    const frame_ptr copy_of_copy(clone->Clone());
    const plane_view again = Plane(*copy_of_copy, 1);
    EXPECT_TRUE(Aligned(again.data));
    EXPECT_EQ(std::memcmp(again.data, second.data(), 150), 0);
}

TEST(RawVideoFrame, ReleaseEndsOnlyFramesThatOwnThemselves) {
    CRawVideoFrame on_the_stack(false, 0, 64, 48, true);
    on_the_stack.Release();  // nothing: the stack owns it
    EXPECT_EQ(on_the_stack.GetPlaneCount(), 3);

    // Clones of a frame without pixel memory copy nothing and need no
    // buffer; releasing each clone once frees everything.
    Vastrel::IRawVideoFrame* clone = on_the_stack.Clone();
    Vastrel::IRawVideoFrame* clone_of_clone = clone->Clone();
    clone->Release();
    EXPECT_EQ(Plane(*clone_of_clone, 0).data, nullptr);
    EXPECT_EQ(clone_of_clone->GetDataSize(), 0);
    clone_of_clone->Release();

    const CRawVideoFrame value_copy(on_the_stack);
    EXPECT_EQ(value_copy.GetPlaneCount(), 3);
}

}  // namespace
