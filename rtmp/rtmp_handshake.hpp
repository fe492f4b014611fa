#pragma once

#include <cstdint>

#include "rtmp/connection_callbacks.hpp"

namespace rtmp {

// The server side of the RTMP handshake. It collects C0+C1, answers with
// S0+S1+S2 in one block, and then counts off C2.
//
// A C1 with a zero version word gets the plain answer (an echo of C1).
// Otherwise C1 must carry the client digest at one of its two places, and
// the answer carries a Diffie-Hellman public key and the server digests that
// clients check.
//
// Errors (std::runtime_error): "Bad handshake" (more than C0+C1 arrived
// before the answer), "Bad handshake: unknown client C1 message format",
// "DH_new failed", "DH_generate_key failed".
class rtmp_handshake {
  public:
    static constexpr std::uint32_t c0c1_size = 1537;
    static constexpr std::uint32_t packet_size = 1536;
    // S0, S1 and S2.
    static constexpr std::uint32_t answer_size = 1 + 2 * packet_size;

    explicit rtmp_handshake(connection_callbacks& owner) : owner_(owner) {}

    rtmp_handshake(const rtmp_handshake&) = delete;
    rtmp_handshake& operator=(const rtmp_handshake&) = delete;

    // Takes the bytes of one read. True while the handshake needs more.
    // False once C2 is complete; `count` is then the number of bytes at the
    // end of this read that follow C2 and belong to the chunk stream.
    bool on_data(const std::uint8_t* data, std::uint32_t& count);

    // Builds and sends S0+S1+S2 for the given C0+C1.
    void respond(const std::uint8_t* c0c1);

    bool done() const noexcept { return state_ == state::done; }
    // The time written into S1: the base of the connection's timestamps.
    std::uint32_t server_time() const noexcept { return server_time_; }
    std::uint32_t client_time() const noexcept { return client_time_; }
    std::uint32_t client_version() const noexcept { return client_version_; }

  private:
    enum class state { collecting_c0c1, collecting_c2, done };

    void respond_plain(const std::uint8_t* c1, std::uint8_t* s1, std::uint8_t* s2);
    void respond_digest(const std::uint8_t* c1, std::uint8_t* s1, std::uint8_t* s2);

    connection_callbacks& owner_;
    state state_ = state::collecting_c0c1;
    // C0+C1 when it arrives in pieces.
    std::uint8_t c0c1_[c0c1_size];
    std::uint32_t collected_ = 0;
    std::uint32_t server_time_ = 0;
    std::uint32_t client_time_ = 0;
    std::uint32_t client_version_ = 0;
};

// A fresh Diffie-Hellman key pair in the 1024-bit MODP group of RFC 2409
// (generator 2); writes its public key as 128 bytes, big-endian, left-padded
// with zeros. Throws "DH_new failed" or "DH_generate_key failed".
void make_dh_public_key(std::uint8_t* out);

}  // namespace rtmp
