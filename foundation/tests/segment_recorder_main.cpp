// Records a synthetic live stream (AVC and AAC, a keyframe every second) into
// DIR/NAME, resuming what is there, far faster than real time, until it is
// killed. Gives up after a minute.
#include <chrono>
#include <cstdint>
#include <iostream>
#include <thread>
#include <vector>

#include "foundation/segment_writer.hpp"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: foundation_segment_recorder DIR NAME\n";
        return 2;
    }
    segment_writer writer(argv[1], argv[2], true, false);
    const std::vector<std::uint8_t> avc_header = {0x17, 0, 0, 0, 0, 1, 0x64, 0, 0x1F};
    const std::vector<std::uint8_t> aac_header = {0xAF, 0, 0x12, 0x10};
    writer.on_video(5000, avc_header);
    writer.on_audio(5000, aac_header);
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    for (std::uint32_t t = 5000; std::chrono::steady_clock::now() < give_up; t += 20) {
        const auto mark = static_cast<std::uint8_t>(t / 20);
        if (t % 40 == 0) {
            const bool keyframe = t % 1000 == 0;
            writer.on_video(
                t, std::vector<std::uint8_t>{keyframe ? std::uint8_t{0x17} : std::uint8_t{0x27}, 1,
                                             0, 0, 0, mark, mark, mark});
        }
        writer.on_audio(t, std::vector<std::uint8_t>{0xAF, 1, mark, mark});
        if (t % 200 == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return 1;
}
