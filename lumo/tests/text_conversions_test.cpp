#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "lumo/text_conversions.hpp"

namespace {

using namespace std::string_literals;

TEST(TextConversions, Utf8AndWideTextRoundTrip) {
    struct text_case {
        const char* name;
        std::string utf8;
        std::wstring wide;
    } cases[] = {
        {"empty", "", L""},
        {"ascii", "/media/live/abc", L"/media/live/abc"},
        {"chinese", "\xE4\xB8\xAD\xE6\x96\x87", L"\u4E2D\u6587"},
        {"beyond the basic plane", "\xF0\x9F\x98\x80", L"\U0001F600"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lumo::utf8_to_wide(c.utf8), c.wide) << c.name;
        EXPECT_EQ(lumo::wide_to_utf8(c.wide), c.utf8) << c.name;
    }
}

TEST(TextConversions, LegacyCharsetsHoldWhatTheyCanAndSubstituteTheRest) {
    struct charset_case {
        const char* name;
        std::string charset;
        std::wstring wide;
        std::string legacy;  // wide text in the charset
        std::wstring back;   // the legacy bytes read back
    } cases[] = {
        {"empty", "GBK", L"", "", L""},
        {"GBK holds Chinese", "GBK", L"\u4E2D\u6587", "\xD6\xD0\xCE\xC4", L"\u4E2D\u6587"},
        {"GBK lacks an emoji", "GBK", L"a\U0001F600b", "a?b", L"a?b"},
        {"CP1252 holds the euro sign", "CP1252", L"5\u20AC", "5\x80", L"5\u20AC"},
        {"CP1252 lacks Chinese", "CP1252", L"x\u4E2D", "x?", L"x?"},
        {"UTF-8 is the default", "UTF-8", L"\u4E2D", "\xE4\xB8\xAD", L"\u4E2D"},
        {"an unknown charset converts nothing", "NO-SUCH-CHARSET", L"abc", "", L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lumo::wide_to_charset(c.wide, c.charset), c.legacy) << c.name;
        EXPECT_EQ(lumo::charset_to_wide(c.legacy, c.charset), c.back) << c.name;
    }
    // Bytes that are no character of the charset are read as U+FFFD.
    EXPECT_EQ(lumo::charset_to_wide("a\xFF", "GBK"), L"a\uFFFD");
    EXPECT_EQ(lumo::charset_to_wide("a\xD6", "GBK"), L"a\uFFFD") << "cut inside a character";
}

// The charset is read once per process, so each setting is tried in a fresh
// one.
void expect_ansi_conversions(const char* charset, const std::string& utf8,
                             const std::string& ansi) {
    EXPECT_EXIT(
        {
            if (charset != nullptr) {
                setenv("LUMO_ANSI_CHARSET", charset, 1);
            } else {
                unsetenv("LUMO_ANSI_CHARSET");
            }
            const bool ok = lumo::utf8_to_ansi(utf8) == ansi &&
                            (ansi.empty() || lumo::ansi_to_utf8(ansi) == utf8);
            std::exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "")
        << (charset != nullptr ? charset : "unset");
}

TEST(TextConversions, TheAnsiCharsetComesFromTheEnvironment) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    expect_ansi_conversions(nullptr, "\xE4\xB8\xAD", "\xE4\xB8\xAD");
    expect_ansi_conversions("", "\xE4\xB8\xAD", "\xE4\xB8\xAD");
    expect_ansi_conversions("GBK", "\xE4\xB8\xAD\xE6\x96\x87", "\xD6\xD0\xCE\xC4");
    expect_ansi_conversions("NO-SUCH-CHARSET", "abc", "");
}

}  // namespace
