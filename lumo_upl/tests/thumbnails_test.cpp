// Thumbnails and media probing with the real media library, and the
// picture conversions beneath them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <QCoreApplication>
#include <QImage>
#include <QTimer>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "lumo_upl/media_probe.hpp"
#include "lumo_upl/tests/media_samples.hpp"
#include "platform/testing/media.hpp"
#include "platform/testing/test_support.hpp"
#include "platform/vastrel/image_converter.hpp"
#include "vornebased/raw_video_frame.hpp"

namespace {

namespace fs = std::filesystem;
namespace testing = platform::testing;
using lumo_upl_test::colour_at;
using lumo_upl_test::sample;

// Whether a pixel of the picture is the colour (0xRRGGBB), within what
// encoding leaves of it.
::testing::AssertionResult has_colour(const QImage& picture, int x, int y, std::uint32_t colour,
                                      int tolerance) {
    const QRgb pixel = picture.pixel(x, y);
    const int expected[] = {static_cast<int>(colour >> 16), static_cast<int>(colour >> 8 & 0xFF),
                            static_cast<int>(colour & 0xFF)};
    const int got[] = {qRed(pixel), qGreen(pixel), qBlue(pixel)};
    for (int i = 0; i < 3; ++i) {
        if (std::abs(expected[i] - got[i]) > tolerance) {
            return ::testing::AssertionFailure()
                   << "pixel (" << x << ", " << y << ") is " << std::hex << (pixel & 0xFFFFFF)
                   << ", not " << colour;
        }
    }
    return ::testing::AssertionSuccess();
}

TEST(Thumbnails, APictureFromThePositionOrFromTheStart) {
    REQUIRE_MEDIA();
    const struct {
        std::string file;
        std::uint32_t position;
        std::uint32_t colour;
        std::uint32_t duration;
    } cases[] = {
        // Beyond the end: 10 s into a long file, the middle of a short one.
        {"colours12.mp4", 30000, colour_at(11), 12000},
        {"colours8.mp4", 30000, colour_at(5), 8000},
        {"colours12.mp4", 0, colour_at(0), 12000},
        {"colours8.mp4", 6500, colour_at(7), 8000},
        // The 30th picture from the start: past the first second.
        {"colours_fast.mp4", 0, 0x008000, 2000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file + " at " + std::to_string(c.position));
        QImage picture;
        std::uint32_t duration = 0;
        ASSERT_EQ(grab_thumbnail(sample(c.file), c.position, &picture, &duration), 1);
        EXPECT_NEAR(duration, c.duration, 50);
        ASSERT_EQ(picture.size(), QSize(160, 120));
        EXPECT_EQ(picture.format(), QImage::Format_RGB32);
        EXPECT_TRUE(has_colour(picture, 80, 60, c.colour, 24));
        EXPECT_TRUE(has_colour(picture, 2, 2, c.colour, 24));
    }
}

TEST(Thumbnails, WithoutPicturesOrUnreadable) {
    REQUIRE_MEDIA();
    const struct {
        std::string file;
        int result;
        std::uint32_t duration;  // 12345: left as it was
    } cases[] = {
        {"audio.m4a", 0, 3000},   {"audio.mp3", 0, 3000},     {"garbage.mp4", -1, 12345},
        {"notes.txt", -1, 12345}, {"missing.mp4", -1, 12345},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        QImage picture(4, 4, QImage::Format_RGB32);
        picture.fill(Qt::black);
        std::uint32_t duration = 12345;
        EXPECT_EQ(grab_thumbnail(sample(c.file), 30000, &picture, &duration), c.result);
        EXPECT_NEAR(duration, c.duration, 60);
        EXPECT_EQ(picture.size(), QSize(4, 4)) << "no picture given";
    }
    // No outputs at all.
    EXPECT_EQ(grab_thumbnail(sample("colours8.mp4"), 0, nullptr, nullptr), 1);
}

// The probe runs on a thread of its own while the GUI thread's timers go
// on firing: here a file that arrives through a pipe only when a timer has
// fired twice.
TEST(Thumbnails, TheAsyncProbeKeepsTheEventLoopTurning) {
    REQUIRE_MEDIA();
    testing::temp_dir dir;
    const fs::path streamable = dir / "colours.mkv";
    ASSERT_EQ(
        testing::make_media(streamable, {"-i", sample("colours8.mp4").string(), "-c", "copy"}), "");
    const fs::path pipe = dir / "arriving.mkv";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    // The probe stops reading early; the rest of the writing meets a
    // closed pipe.
    signal(SIGPIPE, SIG_IGN);

    int argc = 1;
    char name[] = "thumbnails_test";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);
    int ticks = 0;
    std::thread writer;
    QTimer timer;
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (++ticks == 2) {
            writer = std::thread(
                [&] { std::ofstream(pipe, std::ios::binary) << testing::read_file(streamable); });
        }
    });
    timer.start();

    QImage picture;
    std::uint32_t duration = 0;
    const int result = probe_media_async(pipe, 0, &picture, &duration);
    timer.stop();
    writer.join();
    EXPECT_GE(ticks, 2);

    QImage direct;
    std::uint32_t direct_duration = 0;
    EXPECT_EQ(grab_thumbnail(streamable, 0, &direct, &direct_duration), 1);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(duration, direct_duration);
    EXPECT_EQ(picture, direct);
    EXPECT_TRUE(has_colour(picture, 80, 60, colour_at(0), 24));
}

TEST(Thumbnails, RepeatedProbesLeaveNothingOpen) {
    REQUIRE_MEDIA();
    const auto open_descriptors = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
    };
    sample("colours8.mp4");
    const auto before = open_descriptors();
    for (int i = 0; i < 20; ++i) {
        QImage picture;
        EXPECT_EQ(grab_thumbnail(sample("colours8.mp4"), static_cast<std::uint32_t>(i * 400),
                                 &picture, nullptr),
                  1);
        EXPECT_EQ(grab_thumbnail(sample("missing.mp4"), 0, &picture, nullptr), -1);
    }
    EXPECT_EQ(open_descriptors(), before);
}

// A bottom-up picture of four quadrants (red, green / blue, white) in
// format 0, made by the program's own frame over known pixels: the
// converter keeps its row order, the crop-pan turns it top-down.
TEST(Thumbnails, TheConverterAndTheCropPanMakeATopDownRgbPicture) {
    constexpr int size = 8;
    struct yuv {
        std::uint8_t y, u, v;
    };
    const yuv red{81, 90, 240}, green{145, 54, 34}, blue{41, 240, 110}, white{235, 128, 128};
    // Quadrants as the picture shows them.
    const auto quadrant = [&](int x, int y) -> yuv {
        if (y < size / 2) {
            return x < size / 2 ? red : green;
        }
        return x < size / 2 ? blue : white;
    };
    std::vector<std::uint8_t> luma(size * size), cb(size * size / 4), cr(size * size / 4);
    for (int row = 0; row < size; ++row) {
        const int picture_row = size - 1 - row;  // bottom-up
        for (int x = 0; x < size; ++x) {
            luma[static_cast<std::size_t>(row * size + x)] = quadrant(x, picture_row).y;
        }
    }
    for (int row = 0; row < size / 2; ++row) {
        const int picture_row = size - 1 - 2 * row;
        for (int x = 0; x < size / 2; ++x) {
            const yuv c = quadrant(2 * x, picture_row);
            cb[static_cast<std::size_t>(row * size / 2 + x)] = c.u;
            cr[static_cast<std::size_t>(row * size / 2 + x)] = c.v;
        }
    }
    Vastrel::CRawVideoFrame frame(false, 0, size, size, false);
    ASSERT_TRUE(frame.AttachPlane(0, luma.data(), size));
    ASSERT_TRUE(frame.AttachPlane(1, cb.data(), size / 2));
    ASSERT_TRUE(frame.AttachPlane(2, cr.data(), size / 2));

    const Vastrel::converter_ptr converter(Vastrel::CreateImageConverter(30));
    ASSERT_TRUE(converter);
    Vastrel::IRawVideoFrame* rgb = converter->Convert(frame);
    ASSERT_NE(rgb, nullptr);
    EXPECT_EQ(rgb->GetPixelFormat(), 30);
    EXPECT_FALSE(rgb->IsTopDown());

    const Vastrel::crop_pan_ptr crop_pan(Vastrel::CreateRawVideoFrameCropPan());
    crop_pan->SetOption(1);
    Vastrel::IRawVideoFrame* upright = crop_pan->Process(*rgb);
    ASSERT_NE(upright, nullptr);
    EXPECT_TRUE(upright->IsTopDown());
    int width = 0, height = 0, width_bytes = 0, pitch = 0, rows = 0;
    upright->GetSize(width, height);
    const std::uint8_t* pixels = upright->GetPlane(0, width_bytes, pitch, rows);
    ASSERT_EQ(width, size);
    ASSERT_EQ(height, size);
    ASSERT_EQ(width_bytes, size * 4);
    const QImage picture = QImage(pixels, width, height, pitch, QImage::Format_RGB32).copy();
    EXPECT_TRUE(has_colour(picture, 1, 1, 0xFF0000, 6));
    EXPECT_TRUE(has_colour(picture, 6, 1, 0x00FF00, 6));
    EXPECT_TRUE(has_colour(picture, 1, 6, 0x0000FF, 6));
    EXPECT_TRUE(has_colour(picture, 6, 6, 0xFFFFFF, 6));
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            EXPECT_EQ(qAlpha(picture.pixel(x, y)), 255);
        }
    }

    // What cannot be converted.
    EXPECT_FALSE(Vastrel::converter_ptr(Vastrel::CreateImageConverter(8)));
    const Vastrel::CRawVideoFrame empty(false, 0, size, size, true);
    EXPECT_EQ(converter->Convert(empty), nullptr);
    EXPECT_EQ(crop_pan->Process(empty), nullptr);
}

TEST(MediaLibraries, AMissingOrBrokenLibraryIsNoManager) {
    testing::temp_dir dir;
    EXPECT_THROW(av_libraries{dir.path()}, std::runtime_error);
    testing::write_file(dir / Quendle::library_file_name, "not a shared object");
    EXPECT_THROW(av_libraries{dir.path()}, std::runtime_error);
}

}  // namespace
