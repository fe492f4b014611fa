#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <random>

// The random byte source of the handshakes (RTMP and RTMFP): a Mersenne
// Twister seeded from the clock. Not for secrets; keys come from OpenSSL.
class random_generator {
  public:
    // With `locked`, fills from several threads are serialised.
    explicit random_generator(bool locked);

    random_generator(const random_generator&) = delete;
    random_generator& operator=(const random_generator&) = delete;

    // Writes `count` bytes from successive 16-bit draws, low byte first; an
    // odd last byte is the low byte of one more draw.
    void fill(std::uint32_t count, std::uint8_t* out);

  private:
    void fill_unlocked(std::uint32_t count, std::uint8_t* out);

    std::mt19937 engine_;
    std::uniform_int_distribution<std::uint32_t> draw_{0, 65535};
    std::unique_ptr<std::mutex> lock_;
};

// The program's one locked instance, shared by every handshake.
random_generator& shared_random_generator();
