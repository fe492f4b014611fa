#include <cstring>

#include "platform/vastrel/raw_video_frame.hpp"

void VastrelMemCopy(void* destination, const void* source, std::size_t size) {
    std::memcpy(destination, source, size);
}
