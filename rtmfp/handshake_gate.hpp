#pragma once

// What keeps a flood of handshakes from shutting legitimate clients out:
// rates per source address and in total, checked before any cryptographic
// work, and the room the handshake work has.

#include <boost/asio/ip/address.hpp>

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>

// So many a second, and at most `burst` at once.
struct rtmfp_rate {
    double per_second = 0;
    double burst = 0;
};

struct rtmfp_handshake_limits {
    // Handshake datagrams (session id 0: first contacts, key exchanges,
    // introductions) of one address, and of all together; beyond, they are
    // dropped unread. An address may send all its tags at once (the
    // handshake forgets an address's cookies beyond 1280 of them).
    rtmfp_rate datagrams_per_address{64, 1536};
    rtmfp_rate datagrams{65536, 65536};
    // Key exchanges that go on to the Diffie-Hellman work, of one address
    // and of all together; beyond, they go unanswered (the client repeats
    // them). A repeated one that a session answered already is not counted.
    rtmfp_rate key_exchanges_per_address{32, 128};
    rtmfp_rate key_exchanges{2048, 2048};
    // Addresses whose rates are kept; beyond, new addresses share one rate
    // until the idle ones are forgotten.
    std::size_t max_addresses = 65536;
    // Handshake datagrams waiting for the handshake work; beyond, dropped.
    std::size_t max_queued = 1024;
};

// What a source address and all sources together may do, as token buckets;
// used from any thread. Each address's bucket starts full.
class rtmfp_rate_gate {
  public:
    using clock = std::chrono::steady_clock;
    using address = boost::asio::ip::address;

    rtmfp_rate_gate(rtmfp_rate per_address, rtmfp_rate in_all, std::size_t max_addresses);

    // Takes one from the address's and the total's bucket; false, and
    // nothing taken, when either is empty.
    bool admit(const address& from, clock::time_point now);
    // Forgets the addresses whose buckets are full again: they would start
    // so anyway.
    void forget_idle(clock::time_point now);
    std::size_t addresses() const;

  private:
    class bucket {
      public:
        bucket(const rtmfp_rate& rate, clock::time_point now);
        // Refills up to `now`.
        void refill(const rtmfp_rate& rate, clock::time_point now);
        bool has_one() const noexcept { return tokens_ >= 1; }
        void take() noexcept { tokens_ -= 1; }
        bool full(const rtmfp_rate& rate) const noexcept { return tokens_ >= rate.burst; }

      private:
        double tokens_;
        clock::time_point last_;
    };

    const rtmfp_rate per_address_;
    const rtmfp_rate in_all_;
    const std::size_t max_addresses_;

    mutable std::mutex mutex_;
    bucket total_;
    // For the addresses that find the table full.
    bucket others_;
    std::map<address, bucket> by_address_;
};
