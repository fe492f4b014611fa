#include <gtest/gtest.h>

#include <openssl/bn.h>

#include <set>
#include <stdexcept>
#include <string>

#include "rtmp/rtmp_handshake.hpp"
#include "rtmp/tests/rtmp_test_support.hpp"

namespace {

using namespace rtmp_test;
using rtmp::rtmp_handshake;

// Feeds the reads one after the other; returns what on_data answered for
// the last one.
struct handshake_run {
    capture_owner owner;
    rtmp_handshake handshake{owner.callbacks};

    bool feed(const std::string& bytes, std::uint32_t* count_out = nullptr) {
        auto count = static_cast<std::uint32_t>(bytes.size());
        const bool more =
            handshake.on_data(reinterpret_cast<const std::uint8_t*>(bytes.data()), count);
        if (count_out) {
            *count_out = count;
        }
        return more;
    }
};

std::uint32_t u32_at(const std::string& s, std::size_t at) {
    return static_cast<std::uint32_t>(
        static_cast<std::uint8_t>(s[at]) << 24 | static_cast<std::uint8_t>(s[at + 1]) << 16 |
        static_cast<std::uint8_t>(s[at + 2]) << 8 | static_cast<std::uint8_t>(s[at + 3]));
}

TEST(Handshake, PlainClientGetsAnEchoOfItsC1) {
    handshake_run run;
    const std::string c0c1 = plain_c0c1(0x11223344);
    EXPECT_TRUE(run.feed(c0c1));
    ASSERT_EQ(run.owner.sent.size(), 3073u);
    EXPECT_EQ(run.owner.blocks_sent, 1u) << "S0, S1 and S2 leave in one block";
    const std::string& out = run.owner.sent;
    EXPECT_EQ(out[0], 3);
    EXPECT_EQ(u32_at(out, 1), run.handshake.server_time());
    EXPECT_EQ(out.substr(5, 4), std::string(4, '\0'));
    const std::string s2 = out.substr(1537);
    EXPECT_EQ(u32_at(s2, 0), run.handshake.server_time());
    EXPECT_EQ(s2.substr(4, 4), c0c1.substr(1, 4)) << "S2 carries the client's time";
    EXPECT_EQ(s2.substr(8), c0c1.substr(9)) << "and the client's bytes";
    EXPECT_EQ(run.handshake.client_time(), 0x11223344u);
    EXPECT_EQ(run.handshake.client_version(), 0u);
}

TEST(Handshake, DigestAnswersVerifyTheWayAClientChecksThem) {
    for (digest_layout layout : {digest_layout::a, digest_layout::b}) {
        SCOPED_TRACE(layout == digest_layout::a ? "layout A" : "layout B");
        handshake_run run;
        const std::string c0c1 = digest_c0c1(layout);
        const std::string c1 = c0c1.substr(1);
        EXPECT_TRUE(run.feed(c0c1));
        ASSERT_EQ(run.owner.sent.size(), 3073u);
        const std::string s1 = run.owner.sent.substr(1, 1536);
        const std::string s2 = run.owner.sent.substr(1537);
        EXPECT_EQ(u32_at(s1, 0), run.handshake.server_time());
        EXPECT_EQ(s1.substr(4, 4), hex_bytes("04000001"));

        // S1's digest sits where the client's did, signed with the server key.
        const std::uint32_t at = digest_offset(s1, layout);
        EXPECT_EQ(s1.substr(at, 32),
                  hmac_sha256(server_key(), s1.substr(0, at) + s1.substr(at + 32)));
        // A client looking in the other layout's place finds nothing.
        const auto other = layout == digest_layout::a ? digest_layout::b : digest_layout::a;
        const std::uint32_t elsewhere = digest_offset(s1, other);
        EXPECT_NE(s1.substr(elsewhere, 32),
                  hmac_sha256(server_key(), s1.substr(0, elsewhere) + s1.substr(elsewhere + 32)));

        // S2 is signed with a key made from the client's digest.
        const std::string client_digest = c1.substr(digest_offset(c1, layout), 32);
        const std::string key = hmac_sha256(full_server_key(), client_digest);
        EXPECT_EQ(s2.substr(1504), hmac_sha256(key, s2.substr(0, 1504)));
    }
}

// Whether 128 big-endian bytes are a public key of the 1024-bit MODP group
// with generator 2: 1 < y < p - 1 and y^q = 1 (mod p), q = (p - 1) / 2. Random
// bytes pass the second test half the time, so a run of keys all passing shows
// they are real keys read from the right place.
bool is_group_key(const std::string& bytes) {
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* p = BN_get_rfc2409_prime_1024(nullptr);
    BIGNUM* q = BN_new();
    BIGNUM* y = BN_bin2bn(reinterpret_cast<const unsigned char*>(bytes.data()), 128, nullptr);
    BIGNUM* r = BN_new();
    BIGNUM* p_minus_1 = BN_dup(p);
    BN_sub_word(p_minus_1, 1);
    BN_rshift1(q, p);
    BN_mod_exp(r, y, q, p, ctx);
    const bool result = BN_is_one(r) && BN_cmp(y, BN_value_one()) > 0 && BN_cmp(y, p_minus_1) < 0;
    for (BIGNUM* n : {p, q, y, r, p_minus_1}) {
        BN_free(n);
    }
    BN_CTX_free(ctx);
    return result;
}

TEST(Handshake, PublicKeySitsWhereAClientOfThatLayoutReadsIt) {
    std::set<std::string> keys;
    for (int i = 0; i < 24; ++i) {
        const digest_layout layout = i % 2 ? digest_layout::b : digest_layout::a;
        handshake_run run;
        run.feed(digest_c0c1(layout));
        const std::string s1 = run.owner.sent.substr(1, 1536);
        const std::size_t sum_at = layout == digest_layout::a ? 1532 : 768;
        std::uint32_t sum = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            sum += static_cast<std::uint8_t>(s1[sum_at + k]);
        }
        const std::string key = s1.substr(sum % 632 + (layout == digest_layout::a ? 772 : 8), 128);
        EXPECT_TRUE(is_group_key(key)) << "handshake " << i;
        keys.insert(key);
    }
    EXPECT_EQ(keys.size(), 24u) << "every answer has a fresh key pair";
}

// About one key in 256 has a leading zero byte; it must still fill all 128
// bytes, padded in front, or the client reads a different number.
TEST(Handshake, ShortPublicKeysArePaddedInFront) {
    int short_keys = 0;
    for (int i = 0; i < 6000 && short_keys < 2; ++i) {
        std::string key(128, '\xAA');
        rtmp::make_dh_public_key(reinterpret_cast<std::uint8_t*>(key.data()));
        if (key[0] == 0) {
            ++short_keys;
            EXPECT_TRUE(is_group_key(key));
        }
    }
    EXPECT_EQ(short_keys, 2) << "no key came out short: padding is not in front";
}

TEST(Handshake, ZeroVersionGetsThePlainAnswerEvenWithAValidDigest) {
    handshake_run run;
    std::string c0c1 = digest_c0c1(digest_layout::a);
    c0c1.replace(5, 4, std::string(4, '\0'));
    run.feed(c0c1);
    EXPECT_EQ(run.owner.sent.substr(5, 4), std::string(4, '\0'));
    EXPECT_EQ(run.owner.sent.substr(1537 + 8), c0c1.substr(9));
}

TEST(Handshake, RefusesWhatItCannotAnswer) {
    struct refused {
        const char* what;
        std::string first, second;
        const char* error;
    };
    std::string forged = digest_c0c1(digest_layout::a);
    forged[1 + 1000] ^= 1;  // breaks the layout A digest; layout B never matched
    const std::string c0c1 = plain_c0c1();
    const refused cases[] = {
        {"one byte too many in one read", c0c1 + "x", "", "Bad handshake"},
        {"one byte too many over two reads", c0c1.substr(0, 100), c0c1.substr(100) + "x",
         "Bad handshake"},
        {"a digest that matches nowhere", forged, "",
         "Bad handshake: unknown client C1 message format"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        handshake_run run;
        try {
            run.feed(c.first);
            if (!c.second.empty()) {
                run.feed(c.second);
            }
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.error);
        }
        EXPECT_TRUE(run.owner.sent.empty()) << "nothing answered";
        EXPECT_EQ(run.owner.pool.pool(12).outstanding(), 0u);
    }
}

TEST(Handshake, C0C1InPiecesIsAnsweredAtItsLastByteAndC2IsCountedOff) {
    handshake_run run;
    const std::string c0c1 = digest_c0c1(digest_layout::b);
    EXPECT_TRUE(run.feed(c0c1.substr(0, 1)));
    EXPECT_TRUE(run.feed(c0c1.substr(1, 1000)));
    EXPECT_TRUE(run.owner.sent.empty());
    EXPECT_TRUE(run.feed(c0c1.substr(1001)));
    EXPECT_EQ(run.owner.sent.size(), 3073u);

    // C2 in two reads, the second followed by the first chunk bytes.
    const std::string c2(1536, 'c');
    EXPECT_TRUE(run.feed(c2.substr(0, 600)));
    EXPECT_FALSE(run.handshake.done());
    std::uint32_t after = 0;
    EXPECT_FALSE(run.feed(c2.substr(600) + "chunk", &after));
    EXPECT_EQ(after, 5u) << "exactly the bytes after C2 go on";
    EXPECT_TRUE(run.handshake.done());
}

TEST(Handshake, C2EndingExactlyAtTheReadLeavesNothingOver) {
    handshake_run run;
    run.feed(plain_c0c1());
    std::uint32_t after = 99;
    EXPECT_FALSE(run.feed(std::string(1536, 'c'), &after));
    EXPECT_EQ(after, 0u);
}

}  // namespace
