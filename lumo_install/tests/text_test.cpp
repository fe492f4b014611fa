#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "lumo_install/tests/installer_library.hpp"

namespace {

using namespace lumo_install_testing;

std::string encode(const std::string& text) {
    return whole_result([&](char* buffer, std::int32_t* length) {
        library().url_encode(text.c_str(), buffer, length);
    });
}

TEST(UrlEncode, EachByteByTheFormRule) {
    EXPECT_EQ(encode("a b/c"), "a%20b%2Fc");
    EXPECT_EQ(encode(""), "");

    // Bytes that stand as they are: printable ASCII but for # % & + / = ? \.
    const std::string kept =
        "!\"$'()*,-.0123456789:;<>@ABCDEFGHIJKLMNOPQRSTUVWXYZ[]^_`abcdefghijklmnopqrstuvwxyz{|}~";
    std::string all_bytes;
    std::string expected;
    for (int b = 0x01; b <= 0xFF; ++b) {
        const std::string byte(1, static_cast<char>(b));
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X", b);
        const std::string expect = kept.find(byte) != std::string::npos ? byte : escaped;
        EXPECT_EQ(encode(byte), expect) << "byte " << b;
        all_bytes += byte;
        expected += expect;
    }
    EXPECT_EQ(encode(all_bytes), expected);
}

// "中文" in UTF-8 and in GBK.
const std::string chinese_utf8 = "\xE4\xB8\xAD\xE6\x96\x87";
const std::string chinese_gbk = "\xD6\xD0\xCE\xC4";

std::string to_utf8(const std::string& text) {
    return whole_result([&](char* buffer, std::int32_t* length) {
        library().ansi_to_utf8(text.c_str(), buffer, length);
    });
}

std::string to_ansi(const std::string& text) {
    return whole_result([&](char* buffer, std::int32_t* length) {
        library().utf8_to_ansi(text.c_str(), buffer, length);
    });
}

TEST(TextConversion, WithoutACharsetTextStaysUtf8) {
    expect_with_charset(nullptr, [] {
        return mismatch("to UTF-8", to_utf8(chinese_utf8), chinese_utf8) +
               mismatch("to ANSI", to_ansi(chinese_utf8), chinese_utf8) +
               mismatch("empty", to_ansi(""), "");
    });
}

TEST(TextConversion, TheConfiguredCharsetBothWays) {
    expect_with_charset("GBK", [] {
        const copied cut = call_with_capacity(
            [](char* buffer, std::int32_t* length) {
                library().utf8_to_ansi(chinese_utf8.c_str(), buffer, length);
            },
            3);
        return mismatch("to GBK", to_ansi("x" + chinese_utf8), "x" + chinese_gbk) +
               mismatch("from GBK", to_utf8(chinese_gbk + "y"), chinese_utf8 + "y") +
               mismatch("what GBK lacks",
                        to_ansi("a\xF0\x9F\x98\x80"
                                "b"),
                        "a?b") +
               mismatch("cut to the capacity", cut.text, chinese_gbk.substr(0, 2)) +
               (cut.terminated && cut.guard_intact ? "" : "cut: guard or NUL\n");
    });
}

TEST(TextConversion, AnUnknownCharsetGivesTheEmptyText) {
    expect_with_charset("NO-SUCH-CHARSET", [] {
        return mismatch("to ANSI", to_ansi("abc"), "") + mismatch("to UTF-8", to_utf8("abc"), "");
    });
}

}  // namespace
