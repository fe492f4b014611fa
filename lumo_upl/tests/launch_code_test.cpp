#include "lumo_upl/launch_code.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/testing/hex.hpp"
#include "platform/testing/test_support.hpp"

namespace {

using namespace std::chrono_literals;
using namespace lumo_upl;
using platform::testing::hex_bytes;
using platform::testing::run;
using platform::testing::temp_dir;
using platform::testing::write_file;

struct outside_code {
    std::string code;
    std::string digest;
};

// The code as the command-line tools make it: md5sum of the password,
// AES-128-CBC without padding by openssl with the key and vector given as
// hex, base64.
outside_code code_from_tools(const std::string& user_id, const std::string& password) {
    temp_dir dir;
    write_file(dir / "password", password);
    const auto md5 =
        run({"sh", "-c", "md5sum < \"$1\" | cut -c1-32", "sh", (dir / "password").string()}, 30s);
    EXPECT_EQ(md5.exit_code, 0) << md5.err;
    const std::string digest = hex_bytes(md5.out.substr(0, 32));
    write_file(dir / "plain", user_id + digest);
    const auto encrypted = run({"sh", "-c",
                                "hex() { printf %s \"$1\" | od -An -v -tx1 | tr -d ' \\n'; }; "
                                "openssl enc -aes-128-cbc -nopad -K \"$(hex q4Tn8Wz1Hc6Yb3Ld)\" "
                                "-iv \"$(hex m7Pr2Kx9Fv5Js0Ge)\" -in \"$1\" | base64 -w0",
                                "sh", (dir / "plain").string()},
                               30s);
    EXPECT_EQ(encrypted.exit_code, 0) << encrypted.err;
    return {encrypted.out, digest};
}

TEST(LaunchCode, EqualsTheCodeOfTheCommandLineToolsAndDecodesBack) {
    struct sample {
        std::string user_id;
        std::string password;
    };
    const std::vector<sample> samples = {
        {"0123456789abcdef", "secret"},
        {hex_bytes("00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f"), ""},
        {hex_bytes("ff fe fd 80 7f 00 00 00 41 42 43 44 45 46 47 48"), "密码123"},
        {"user-00000000042", std::string("a b\tc\"d'e", 9)},
    };
    for (const sample& s : samples) {
        SCOPED_TRACE("password " + s.password);
        ASSERT_EQ(s.user_id.size(), 16u);
        const outside_code expected = code_from_tools(s.user_id, s.password);
        const std::string code = encode_launch_code(s.user_id, s.password);
        EXPECT_EQ(code, expected.code);
        EXPECT_EQ(code.size(), 44u);

        std::string user_id;
        std::string digest;
        ASSERT_TRUE(decode_launch_code(code, user_id, digest));
        EXPECT_EQ(user_id, s.user_id);
        EXPECT_EQ(digest, expected.digest);
    }
}

TEST(LaunchCode, TextThatIsNoCodeIsRefusedWithTheOutputsUntouched) {
    const std::string good = encode_launch_code("0123456789abcdef", "secret");
    ASSERT_EQ(good.size(), 44u);
    const std::vector<std::string> refused = {
        "",
        good.substr(0, 43),
        good + "A",
        good.substr(0, 43) + "A",                    // no padding: 33 bytes
        good.substr(0, 42) + "==",                   // padding for 31 bytes
        good.substr(0, 20) + "*" + good.substr(21),  // outside the alphabet
        good.substr(0, 20) + "=" + good.substr(21),  // padding inside
        good.substr(0, 20) + " " + good.substr(21),
        good.substr(0, 20) + "-" + good.substr(21),  // the URL-safe alphabet
    };
    for (const std::string& code : refused) {
        SCOPED_TRACE(code);
        std::string user_id = "kept";
        std::string digest = "kept too";
        EXPECT_FALSE(decode_launch_code(code, user_id, digest));
        EXPECT_EQ(user_id, "kept");
        EXPECT_EQ(digest, "kept too");
        EXPECT_EQ(reencode_launch_code(code, "secret"), "");
    }
}

TEST(LaunchCode, ReencodingKeepsTheUserIdAndTakesTheNewPassword) {
    const std::string user_id = hex_bytes("10 32 54 76 98 ba dc fe 01 23 45 67 89 ab cd ef");
    const std::string code = encode_launch_code(user_id, "old password");

    EXPECT_EQ(reencode_launch_code(code, "old password"), code);

    const std::string changed = reencode_launch_code(code, "新密码");
    EXPECT_EQ(changed, encode_launch_code(user_id, "新密码"));
    EXPECT_NE(changed, code);
    std::string decoded_user;
    std::string digest;
    ASSERT_TRUE(decode_launch_code(changed, decoded_user, digest));
    EXPECT_EQ(decoded_user, user_id);
}

TEST(LaunchCode, AUserIdOfAnyOtherLengthGivesNoCode) {
    EXPECT_EQ(encode_launch_code("0123456789abcde", "secret"), "");
    EXPECT_EQ(encode_launch_code("0123456789abcdef0", "secret"), "");
    EXPECT_EQ(encode_launch_code("", "secret"), "");
}

}  // namespace
