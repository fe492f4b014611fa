#include "foundation/crypto.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/hex.hpp"
#include "platform/testing/hex.hpp"
#include "platform/testing/test_support.hpp"

namespace {

namespace testing = platform::testing;
using bytes = std::vector<std::uint8_t>;

// The second Oakley group of RFC 2409, as the RFC prints it.
const char* const rfc2409_prime =
    "FF FF FF FF FF FF FF FF C9 0F DA A2 21 68 C2 34 C4 C6 62 8B 80 DC 1C D1 29 02 4E 08 8A 67 CC "
    "74"
    "02 0B BE A6 3B 13 9B 22 51 4A 08 79 8E 34 04 DD EF 95 19 B3 CD 3A 43 1B 30 2B 0A 6D F2 5F 14 "
    "37"
    "4F E1 35 6D 6D 51 C2 45 E4 85 B5 76 62 5E 7E C6 F4 4C 42 E9 A6 37 ED 6B 0B FF 5C B6 F4 06 B7 "
    "ED"
    "EE 38 6B FB 5A 89 9F A5 AE 9F 24 11 7C 4B 1F E6 49 28 66 51 EC E6 53 81 FF FF FF FF FF FF FF "
    "FF";

bytes hex(std::string_view text) {
    const std::string raw = testing::hex_bytes(text);
    return {raw.begin(), raw.end()};
}

template <class Bytes>
std::string hex_text(const Bytes& b) {
    return hex_encode(b.data(), b.size());
}

bytes random_of(std::mt19937& random, std::size_t n) {
    bytes out(n);
    for (auto& byte : out) {
        byte = static_cast<std::uint8_t>(random());
    }
    return out;
}

// Left-padded with zeros to 128 bytes.
template <class Bytes>
bytes padded_128(const Bytes& raw) {
    bytes out(128 - std::min<std::size_t>(raw.size(), 128), 0);
    out.insert(out.end(), raw.begin(), raw.end());
    return out;
}

testing::run_result openssl(std::vector<std::string> args) {
    args.insert(args.begin(), "openssl");
    return testing::run(std::move(args), std::chrono::seconds(30));
}

// The hex bytes printed under `label` by `openssl pkey -text` (up to the
// next label).
bytes printed_number(const std::string& text, const std::string& label) {
    std::istringstream lines(text);
    std::string line;
    bool inside = false;
    std::string digits;
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] != ' ') {
            inside = line.rfind(label, 0) == 0;
            continue;
        }
        if (inside) {
            for (char c : line) {
                if (std::isxdigit(static_cast<unsigned char>(c))) {
                    digits += c;
                }
            }
        }
    }
    bytes out;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    // A leading 00 keeps the number positive in that print.
    while (out.size() > 128 && out.front() == 0) {
        out.erase(out.begin());
    }
    return out;
}

// DER of DHParameter ::= SEQUENCE { prime INTEGER, base INTEGER }.
std::string dh_parameters_der() {
    bytes prime = hex(rfc2409_prime);
    prime.insert(prime.begin(), 0x00);  // positive
    bytes der = {0x30, 0x81, 0x87, 0x02, 0x81, 0x81};
    der.insert(der.end(), prime.begin(), prime.end());
    der.insert(der.end(), {0x02, 0x01, 0x02});
    return {der.begin(), der.end()};
}

TEST(Crypto, DigestsMatchTheOpensslCommand) {
    ASSERT_TRUE(testing::have_program("openssl"));
    testing::temp_dir dir;
    std::mt19937 random(20240612);
    const struct {
        std::size_t key_size;
        std::size_t data_size;
    } cases[] = {{16, 0}, {32, 55}, {139, 76}, {200, 1200}};
    for (const auto& c : cases) {
        const bytes key = random_of(random, c.key_size);
        const bytes data = random_of(random, c.data_size);
        testing::write_file(dir / "data", std::string(data.begin(), data.end()));

        const auto digest = openssl({"dgst", "-sha256", "-binary", "-out", (dir / "sha").string(),
                                     (dir / "data").string()});
        ASSERT_EQ(digest.exit_code, 0) << digest.err;
        const auto mac =
            openssl({"dgst", "-sha256", "-mac", "HMAC", "-macopt", "hexkey:" + hex_text(key),
                     "-binary", "-out", (dir / "hmac").string(), (dir / "data").string()});
        ASSERT_EQ(mac.exit_code, 0) << mac.err;

        // Parts are taken one after another.
        const std::size_t cut = data.size() / 3;
        const byte_view head(data.data(), cut);
        const byte_view tail(data.data() + cut, data.size() - cut);
        EXPECT_EQ(hex_text(sha256({head, tail})), hex_text(testing::read_file(dir / "sha")))
            << c.data_size;
        EXPECT_EQ(hex_text(hmac_sha256(key, {head, tail})),
                  hex_text(testing::read_file(dir / "hmac")))
            << c.key_size << " " << c.data_size;
    }
}

TEST(Crypto, DiffieHellmanAgreesWithTheOpensslCommand) {
    ASSERT_TRUE(testing::have_program("openssl"));
    testing::temp_dir dir;
    const std::string der = dh_parameters_der();
    testing::write_file(dir / "group.der", der);
    const auto params = openssl({"dhparam", "-inform", "DER", "-in", (dir / "group.der").string(),
                                 "-out", (dir / "group.pem").string()});
    ASSERT_EQ(params.exit_code, 0) << params.err;

    struct party {
        bytes private_key;
        bytes public_key;
    };
    std::vector<party> parties;
    for (const std::string name : {"a", "b"}) {
        const std::string key = (dir / (name + ".pem")).string();
        const auto made =
            openssl({"genpkey", "-paramfile", (dir / "group.pem").string(), "-out", key});
        ASSERT_EQ(made.exit_code, 0) << made.err;
        const auto pub = openssl(
            {"pkey", "-in", key, "-pubout", "-out", (dir / (name + "-public.pem")).string()});
        ASSERT_EQ(pub.exit_code, 0) << pub.err;
        const auto text = openssl({"pkey", "-in", key, "-text", "-noout"});
        ASSERT_EQ(text.exit_code, 0) << text.err;
        parties.push_back(
            {printed_number(text.out, "private-key:"), printed_number(text.out, "public-key:")});
    }
    const auto derived =
        openssl({"pkeyutl", "-derive", "-inkey", (dir / "a.pem").string(), "-peerkey",
                 (dir / "b-public.pem").string(), "-out", (dir / "secret").string()});
    ASSERT_EQ(derived.exit_code, 0) << derived.err;
    const bytes expected = padded_128(testing::read_file(dir / "secret"));

    const dh1024_key_pair a = dh1024_key_pair::from_private_key(parties[0].private_key);
    const dh1024_key_pair b = dh1024_key_pair::from_private_key(parties[1].private_key);
    EXPECT_EQ(hex_text(a.public_key()), hex_text(padded_128(parties[0].public_key)));
    EXPECT_EQ(hex_text(a.shared_secret(parties[1].public_key)), hex_text(expected));
    EXPECT_EQ(hex_text(b.shared_secret(a.public_key())), hex_text(expected));
}

TEST(Crypto, FreshKeyPairsAgreeWithEachOther) {
    const dh1024_key_pair a = dh1024_key_pair::generate();
    const dh1024_key_pair b = dh1024_key_pair::generate();
    EXPECT_NE(a.public_key(), b.public_key());
    EXPECT_EQ(a.shared_secret(b.public_key()), b.shared_secret(a.public_key()));
}

TEST(Crypto, PeerKeysNearEitherEndOfTheGroupAreRefused) {
    const bytes p = hex(rfc2409_prime);
    // p - k for a small k, as 128 bytes.
    const auto p_minus = [&](std::uint32_t k) {
        bytes out = p;
        std::uint32_t borrow = k;
        for (std::size_t i = out.size(); i-- > 0 && borrow != 0;) {
            const std::uint32_t take = borrow & 0xFF;
            borrow >>= 8;
            if (out[i] < take) {
                borrow += 1;
            }
            out[i] = static_cast<std::uint8_t>(out[i] - take);
        }
        return out;
    };
    const dh1024_key_pair ours = dh1024_key_pair::generate();
    const struct {
        const char* name;
        bytes key;
        bool accepted;
    } cases[] = {
        {"0", hex("00"), false},
        {"1", hex("01"), false},
        {"2^24 - 1", hex("FF FF FF"), false},
        {"2^24", hex("01 00 00 00"), true},
        {"p - 2^24", p_minus(1u << 24), true},
        {"p - 2^24 + 1", p_minus((1u << 24) - 1), false},
        {"p - 1", p_minus(1), false},
        {"p", p, false},
        {"129 bytes", bytes(129, 0x01), false},
        {"nothing", {}, false},
    };
    for (const auto& c : cases) {
        if (c.accepted) {
            EXPECT_NO_THROW(ours.shared_secret(c.key)) << c.name;
        } else {
            try {
                ours.shared_secret(c.key);
                ADD_FAILURE() << c.name << " was taken";
            } catch (const std::runtime_error& error) {
                EXPECT_STREQ(error.what(), "DH_compute_key failed") << c.name;
            }
        }
    }
}

}  // namespace
