#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "foundation/exclusive_ofstream.hpp"
#include "foundation/file_name.hpp"
#include "foundation/hex.hpp"
#include "foundation/replace_file.hpp"
#include "foundation/utf8.hpp"
#include "platform/testing/test_support.hpp"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using platform::testing::read_file;
using platform::testing::temp_dir;
using platform::testing::write_file;

TEST(Utf8ToWstring, DecodesValidTextAndReplacesEachBrokenSequence) {
    struct decode_case {
        const char* name;
        std::string utf8;
        std::wstring wide;
    } cases[] = {
        {"empty", "", L""},
        {"ascii", "live/stream1", L"live/stream1"},
        {"embedded NUL", "a\0b"s, L"a\0b"s},
        {"two bytes", "\xC3\xA9", L"\u00E9"},
        {"three bytes", "\xE4\xB8\xAD", L"\u4E2D"},
        {"four bytes", "\xF0\x9F\x98\x80", L"\U0001F600"},
        {"highest code point", "\xF4\x8F\xBF\xBF", L"\U0010FFFF"},
        {"stray continuation", "a\x80z", L"a\uFFFDz"},
        {"invalid lead bytes", "\xC0\xC1\xF5\xFF", L"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"overlong slash", "\xC0\xAF", L"\uFFFD\uFFFD"},
        {"overlong three bytes", "\xE0\x80\xAF", L"\uFFFD\uFFFD\uFFFD"},
        {"surrogate", "\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"truncated at the end", "a\xE4\xB8", L"a\uFFFD"},
        {"truncated before a letter", "\xF0\x9F\x98z", L"\uFFFDz"},
        {"truncated before a new sequence", "\xE4\xE4\xB8\xAD", L"\uFFFD\u4E2D"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8_to_wstring(c.utf8), c.wide) << c.name;
    }
}

TEST(Utf8ToWstring, ArrayIsZeroTerminatedAndNullForNoText) {
    auto wide = utf8_to_wchar_array(
        "\xE4\xB8\xAD"
        "x");
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(std::wstring(wide.get()), L"\u4E2Dx");
    EXPECT_EQ(utf8_to_wchar_array(nullptr), nullptr);
    auto empty = utf8_to_wchar_array("");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], L'\0');
}

TEST(WstringToUtf8, EncodesEveryCodePointAndReplacesWhatIsNone) {
    struct encode_case {
        const char* name;
        std::wstring wide;
        std::string utf8;
    } cases[] = {
        {"empty", L"", ""},
        {"embedded NUL", L"a\0b"s, "a\0b"s},
        {"last of one byte", L"\u007F", "\x7F"},
        {"first of two bytes", L"\u0080", "\xC2\x80"},
        {"last of two bytes", L"\u07FF", "\xDF\xBF"},
        {"first of three bytes", L"\u0800", "\xE0\xA0\x80"},
        {"three bytes", L"\u4E2D\u6587", "\xE4\xB8\xAD\xE6\x96\x87"},
        {"last of three bytes", L"\uFFFF", "\xEF\xBF\xBF"},
        {"four bytes", L"\U0001F600", "\xF0\x9F\x98\x80"},
        {"highest code point", L"\U0010FFFF", "\xF4\x8F\xBF\xBF"},
        {"lone surrogate", std::wstring(1, wchar_t(0xD800)) + L"x", "\xEF\xBF\xBDx"},
        {"above U+10FFFF", std::wstring(1, wchar_t(0x110000)), "\xEF\xBF\xBD"},
        {"negative", std::wstring(1, wchar_t(-1)), "\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(wstring_to_utf8(c.wide), c.utf8) << c.name;
    }
    // Every code point survives the way back.
    std::wstring all;
    for (wchar_t c = 0; c <= 0x10FFFF; c += 0x101) {
        if (c < 0xD800 || c > 0xDFFF) {
            all.push_back(c);
        }
    }
    EXPECT_EQ(utf8_to_wstring(wstring_to_utf8(all)), all);
}

TEST(Hex, EncodesEveryByteInEitherCaseAndReadsDigitsOfBoth) {
    const std::string bytes = "\x00\x1f\xab\xff\x90"s;
    EXPECT_EQ(hex_encode(bytes), "001fabff90");
    EXPECT_EQ(hex_encode(bytes, hex_letters::upper), "001FABFF90");
    EXPECT_EQ(hex_encode(bytes.data(), 0), "");

    const struct {
        char digit;
        int value;
    } digits[] = {{'0', 0},  {'9', 9},  {'a', 10}, {'f', 15}, {'A', 10}, {'F', 15}, {'g', -1},
                  {'G', -1}, {'/', -1}, {':', -1}, {'@', -1}, {'`', -1}, {' ', -1}, {'\xC3', -1}};
    for (const auto& c : digits) {
        EXPECT_EQ(hex_digit_value(c.digit), c.value) << c.digit;
    }
}

TEST(IsValidFileName, AcceptsPlainNamesAndRefusesPathsAndReservedBytes) {
    struct name_case {
        std::string name;
        bool valid;
    } cases[] = {
        {"", false},
        {".", false},
        {"..", false},
        {"...", true},
        {".hidden", true},
        {"stream1", true},
        {"my stream-2.flv", true},
        {"\xE4\xB8\xAD\xE6\x96\x87\xE9\xA2\x91\xE9\x81\x93", true},
        {std::string(256, 'a'), true},
        {std::string(257, 'a'), false},
        {"a:b", false},
        {"a/b", false},
        {"a\\b", false},
        {"a\"b", false},
        {"a*b", false},
        {"a<b", false},
        {"a>b", false},
        {"a?b", false},
        {"a|b", false},
        {"a\0b"s, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_valid_file_name(c.name), c.valid) << '"' << c.name << '"';
    }
}

TEST(ExclusiveOfstream, KeepsASecondOpenerOutUntilTheFirstIsGone) {
    temp_dir dir;
    const auto path = dir / "stream.locked";
    platform::testing::write_file(path, "old content");
    {
        exclusive_ofstream first(path);
        ASSERT_TRUE(first);
        EXPECT_EQ(read_file(path), "") << "an existing file is truncated";
        first << "lock" << std::flush;

        exclusive_ofstream second(path);
        EXPECT_FALSE(second);
        EXPECT_FALSE(second.is_open());
        EXPECT_EQ(read_file(path), "lock") << "a refused opener changes nothing";

        // The recorder enables exceptions before it opens.
        exclusive_ofstream throwing;
        throwing.exceptions(std::ios_base::failbit);
        EXPECT_THROW(throwing.open(path), std::ios_base::failure);

        first << " held";
    }
    EXPECT_EQ(read_file(path), "lock held");
    exclusive_ofstream again(path);
    EXPECT_TRUE(again);
    again.close();

    // close() lets the next opener in as destruction does, and a closed
    // stream may be opened again.
    exclusive_ofstream reopened(path);
    EXPECT_TRUE(reopened);
    reopened.close();
    reopened.open(path);
    EXPECT_TRUE(reopened.is_open());
    exclusive_ofstream twice_opened(path);
    EXPECT_FALSE(twice_opened);
}

TEST(ExclusiveOfstream, RefusesAnOpenerInAnotherProcess) {
    temp_dir dir;
    const auto path = dir / "channel.lock";
    {
        exclusive_ofstream held(path);
        ASSERT_TRUE(held);
        held << "lock" << std::flush;
        auto refused = platform::testing::run({EXCLUSIVE_OPEN_PROGRAM, path.string()}, 10s);
        EXPECT_EQ(refused.exit_code, 1) << refused.err;
        EXPECT_EQ(read_file(path), "lock");
    }
    auto allowed = platform::testing::run({EXCLUSIVE_OPEN_PROGRAM, path.string()}, 10s);
    EXPECT_EQ(allowed.exit_code, 0) << allowed.err;
    EXPECT_EQ(read_file(path), "second");
}

TEST(ExclusiveOfstream, ChildProcessesDoNotInheritTheLock) {
    // The supervisor starts the media server while it holds lock files of its
    // own; a child keeping them would hold them after the supervisor let go.
    temp_dir dir;
    const auto path = dir / "marker";
    auto held = std::make_unique<exclusive_ofstream>(path);
    ASSERT_TRUE(*held);
    platform::testing::child_process child({"sleep", "30"});
    held.reset();
    exclusive_ofstream after(path);
    EXPECT_TRUE(after);
}

TEST(ExclusiveOfstream, FailsWhereNoFileCanBeCreated) {
    temp_dir dir;
    exclusive_ofstream missing_dir(dir / "no such dir" / "file");
    EXPECT_FALSE(missing_dir);
    EXPECT_FALSE(missing_dir.is_open());
}

TEST(FileReplacement, TakesTheTargetsPlaceOnlyWhenCommitted) {
    temp_dir dir;
    const auto target = dir / "list.xml";
    write_file(target, "old");
    const auto entries = [&] {
        return std::distance(std::filesystem::directory_iterator(dir.path()),
                             std::filesystem::directory_iterator());
    };

    {
        file_replacement abandoned(target, "abandoned");
        EXPECT_EQ(read_file(target), "old");
        EXPECT_EQ(entries(), 2);  // the target and the new content beside it
    }
    EXPECT_EQ(read_file(target), "old");
    EXPECT_EQ(entries(), 1);

    file_replacement committed(target, "new");
    write_file(dir / "other", "written in between");
    committed.commit();
    EXPECT_EQ(read_file(target), "new");
    EXPECT_EQ(entries(), 2);

    EXPECT_THROW(file_replacement(dir / "missing" / "list.xml", "x"),
                 std::filesystem::filesystem_error);
}

}  // namespace
