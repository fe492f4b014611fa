#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/testing/test_support.hpp"
#include "vornebased/sysutils.hpp"
#include "vornebased/tests/test_helpers.hpp"
#include "vornebased/vorne_exception.hpp"

namespace {

using namespace VorneBased;
using namespace std::chrono_literals;
using namespace std::string_literals;
using platform::testing::read_file;
using platform::testing::temp_dir;
using platform::testing::write_file;
using vornebased_testing::LastCode;
using vornebased_testing::LastMessage;

// Sets or removes an environment variable for one scope.
class scoped_env {
  public:
    scoped_env(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~scoped_env() {
        if (old_) {
            ::setenv(name_.c_str(), old_->c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }

  private:
    std::string name_;
    std::optional<std::string> old_;
};

class FileOperations : public ::testing::Test {
  protected:
    void SetUp() override {
        ten_ = (dir_ / "ten.bin").string();
        write_file(ten_, "0123456789");
    }

    temp_dir dir_;
    std::string ten_;
};

TEST_F(FileOperations, FailuresLeaveTheirCodeAndMessage) {
    const std::string missing = (dir_ / "missing.bin").string();
    const std::string folder = dir_.path().string();
    const std::string under_a_file = (dir_ / "ten.bin" / "x").string();
    char buffer[16];
    struct failure_case {
        const char* name;
        std::function<long long()> call;
        int code;
        std::string message;
    } cases[] = {
        {"open a missing file", [&] { return file_open(missing.c_str(), 0); }, error::system,
         "file_open error: 2 No such file or directory"},
        {"open with access 3", [&] { return file_open(ten_.c_str(), 0x0003); }, error::bad_argument,
         "file_open error: bad access mode"},
        {"open with sharing 5", [&] { return file_open(ten_.c_str(), 0x0050); },
         error::bad_argument, "file_open error: bad access mode"},
        {"open a folder", [&] { return file_open(folder.c_str(), 0); }, error::system,
         "file_open error: 21 Is a directory"},
        {"open a null name", [&] { return file_open(nullptr, 0); }, error::bad_pointer,
         "Bad pointer"},
        {"create an empty name", [&] { return file_create(""); }, error::bad_argument,
         "filename can't be empty"},
        {"create through mode 0xFFFF with an empty name", [&] { return file_open("", 0xFFFF); },
         error::bad_argument, "filename can't be empty"},
        {"create where a folder must be", [&] { return file_create(under_a_file.c_str()); },
         error::system, "file_create error: 20 Not a directory"},
        {"read into null", [&] { return file_read(0, nullptr, 1); }, error::bad_pointer,
         "Bad pointer"},
        {"read a negative count", [&] { return file_read(0, buffer, -1); }, error::bad_argument,
         "Count can't be less than zero"},
        {"write from null", [&] { return file_write(1, nullptr, 1); }, error::bad_pointer,
         "Bad pointer"},
        {"write a negative count", [&] { return file_write(1, "x", INT_MIN); }, error::bad_argument,
         "Count can't be less than zero"},
        {"read a closed handle", [&] { return file_read(1000000, buffer, 1); }, error::system,
         "file_read error: 9 Bad file descriptor"},
        {"seek from origin 3", [&] { return file_seek(0, 0, 3); }, error::system,
         "file_seek error: 22 Invalid argument"},
        {"close a closed handle", [&] { return file_close(1000000) ? 0 : -1; }, error::system,
         "file_close error: 9 Bad file descriptor"},
        {"end a closed handle", [&] { return file_set_current_end(1000000) ? 0 : -1; },
         error::system, "file_set_current_end: 9 Bad file descriptor"},
    };
    for (const auto& c : cases) {
        GetVorneException()->Clear();
        EXPECT_EQ(c.call(), -1) << c.name;
        EXPECT_EQ(LastCode(), c.code) << c.name;
        EXPECT_EQ(LastMessage(), c.message) << c.name;
        int line = 0;
        EXPECT_STREQ(GetVorneException()->GetFile(line), "sysutils") << c.name;
    }
}

TEST_F(FileOperations, ReadsToTheEndAndSaysSo) {
    const int handle = file_open(ten_.c_str(), 0x0040);  // read, shared for both
    ASSERT_NE(handle, invalid_handle);
    char buffer[16] = {};
    EXPECT_EQ(file_read(handle, buffer, 0), 0);
    EXPECT_EQ(file_seek(handle, 0, 1), 0) << "a read of nothing moves nothing";
    EXPECT_EQ(file_read(handle, buffer, 16), 10);
    EXPECT_EQ(std::string(buffer, 10), "0123456789");
    EXPECT_EQ(file_read(handle, buffer, 16), -1);
    EXPECT_EQ(LastCode(), error::end_of_file);
    EXPECT_EQ(LastMessage(), "End of file");
    EXPECT_EQ(file_seek(handle, -4, 2), 6);
    EXPECT_EQ(file_read(handle, buffer, 16), 4);
    EXPECT_EQ(file_seek(handle, -11, 1), -1) << "before the beginning";
    EXPECT_EQ(LastCode(), error::system);
    EXPECT_EQ(file_write(handle, "x", 1), -1) << "opened for reading";
    EXPECT_EQ(LastMessage(), "file_write error: 9 Bad file descriptor");
    EXPECT_TRUE(file_close(handle));
}

TEST_F(FileOperations, ModesGiveTheirAccessAndCreateTruncates) {
    char buffer[4];
    const int write_only = file_open(ten_.c_str(), 0x0001);
    ASSERT_NE(write_only, invalid_handle);
    EXPECT_EQ(file_read(write_only, buffer, 4), -1);
    EXPECT_EQ(file_write(write_only, "ab", 2), 2);
    EXPECT_TRUE(file_close(write_only));
    EXPECT_EQ(read_file(ten_), "ab23456789") << "opening never truncates";

    const int both = file_open(ten_.c_str(), 0x0002);
    ASSERT_NE(both, invalid_handle);
    EXPECT_EQ(file_seek(both, 4, 0), 4);
    EXPECT_TRUE(file_set_current_end(both));
    EXPECT_EQ(file_read(both, buffer, 4), -1);
    EXPECT_EQ(LastCode(), error::end_of_file);
    EXPECT_EQ(file_seek(both, 0, 0), 0);
    EXPECT_EQ(file_read(both, buffer, 4), 4);
    EXPECT_TRUE(file_close(both));
    EXPECT_EQ(read_file(ten_), "ab23");

    const int created = file_open(ten_.c_str(), 0xFFFF);
    ASSERT_NE(created, invalid_handle);
    EXPECT_EQ(file_seek(created, 0, 2), 0) << "0xFFFF truncates";
    EXPECT_EQ(file_write(created, "new", 3), 3);
    EXPECT_EQ(file_seek(created, 0, 0), 0);
    EXPECT_EQ(file_read(created, buffer, 3), 3) << "and opens for reading too";
    EXPECT_TRUE(file_close(created));
    EXPECT_EQ(read_file(ten_), "new");

    const std::string fresh = (dir_ / "fresh.bin").string();
    const int made = file_create(fresh.c_str());
    ASSERT_NE(made, invalid_handle);
    EXPECT_TRUE(file_close(made));
    EXPECT_EQ(read_file(fresh), "");
}

TEST(Environment, VariablesAndTheHomeFolder) {
    std::string value = "unchanged";
    {
        const scoped_env unset("VORNE_TEST_MISSING", nullptr);
        EXPECT_FALSE(get_environment_variable("VORNE_TEST_MISSING", value));
        EXPECT_EQ(LastCode(), error::variable_missing);
        EXPECT_EQ(LastMessage(), "get_environment_variable error: 2 No such file or directory");
        EXPECT_EQ(value, "unchanged");
    }
    {
        const scoped_env set("VORNE_TEST_SET", "\xC3\xA4 b");
        EXPECT_TRUE(get_environment_variable("VORNE_TEST_SET", value));
        EXPECT_EQ(value, "\xC3\xA4 b");
    }

    {
        const scoped_env home("HOME", "/home/operator");
        EXPECT_EQ(GetHomeDir(), "/home/operator");
    }
    const passwd* entry = ::getpwuid(::getuid());
    ASSERT_NE(entry, nullptr);
    for (const char* missing_home : {static_cast<const char*>(nullptr), ""}) {
        const scoped_env home("HOME", missing_home);
        EXPECT_EQ(GetHomeDir(), entry->pw_dir) << "HOME " << (missing_home ? "empty" : "unset");
    }
}

TEST(Strings, SplitLeftMidAndNumbers) {
    using pieces = std::vector<std::string>;
    EXPECT_EQ(SplitString("a,,b", ","), (pieces{"a", "b"}));
    EXPECT_EQ(SplitString(",a;b,;c,", ",;"), (pieces{"a", "b", "c"}));
    EXPECT_EQ(SplitString("", ","), pieces{});
    EXPECT_EQ(SplitString(",,", ","), pieces{});
    EXPECT_EQ(SplitString("whole", ""), pieces{"whole"});

    struct cut_case {
        std::string got;
        std::string expected;
    } cuts[] = {
        {LeftStr("abcdef", 3), "abc"},
        {LeftStr("abc", 10), "abc"},
        {LeftStr("abc", 0), ""},
        {LeftStr("abc", -1), ""},
        {MidStr("abcdef", 2, 3), "cde"},
        {MidStr("abcdef", 4, 10), "ef"},
        {MidStr("abcdef", 0, 6), "abcdef"},
        {MidStr("abcdef", 6, 1), ""},
        {MidStr("abcdef", -1, 2), ""},
        {MidStr("abcdef", 2, -1), ""},
        {MidStr("", 0, 1), ""},
    };
    for (const auto& c : cuts) {
        EXPECT_EQ(c.got, c.expected);
    }

    struct number_case {
        const char* text;
        int value;
    } numbers[] = {
        {"123", 123},
        {"  -45xyz", -45},
        {"+7", 7},
        {"\t\r\n 8", 8},
        {"", 0},
        {"abc", 0},
        {"-", 0},
        {"2147483647", INT_MAX},
        {"2147483648", INT_MAX},
        {"99999999999999999999", INT_MAX},
        {"-2147483648", INT_MIN},
        {"-2147483649", INT_MIN},
        {"-99999999999999999999", INT_MIN},
    };
    for (const auto& c : numbers) {
        EXPECT_EQ(StrToInt(c.text), c.value) << '"' << c.text << '"';
    }
    for (const int value : {0, 1, -1, 1234567, INT_MAX, INT_MIN}) {
        EXPECT_EQ(StrToInt(IntToStr(value)), value);
    }
    EXPECT_EQ(IntToStr(-42), "-42");
}

void ExpectNoFileName(const std::string& path, const char* why) {
    try {
        ExtractFileName(path);
        ADD_FAILURE() << why << " has a file name";
    } catch (const CBaseException& e) {
        EXPECT_EQ(e.GetCode(), error::unknown) << why;
        EXPECT_STREQ(e.GetMessage(), "Can't detect file name length") << why;
    }
}

TEST(Paths, TrailingSeparatorAndFileName) {
    struct trailing_case {
        const char* path;
        const char* expected;
    } trailing[] = {
        {"", "/"},
        {"/home/op", "/home/op/"},
        {"/home/op/", "/home/op/"},
        {"C:\\work\\", "C:\\work/"},
        {"a//", "a//"},
    };
    for (const auto& c : trailing) {
        EXPECT_EQ(IncludeTrailingBackslash(c.path), c.expected) << c.path;
    }

    EXPECT_EQ(ExtractFileName("/var/media/block 1.zpk"), "block 1.zpk");
    EXPECT_EQ(ExtractFileName("relative/\xC3\xA4.bin"), "\xC3\xA4.bin");
    EXPECT_EQ(ExtractFileName("name"), "name");
    EXPECT_EQ(ExtractFileName("/var/media/"), "");
    ExpectNoFileName("", "an empty path");
}

TEST(Paths, FileNameFailsWhenTheWorkingFolderIsGone) {
    const auto previous = std::filesystem::current_path();
    {
        temp_dir dir;
        const auto doomed = dir / "doomed";
        std::filesystem::create_directory(doomed);
        std::filesystem::current_path(doomed);
        std::filesystem::remove(doomed);
        EXPECT_EQ(ExtractFileName("/absolute/name.bin"), "name.bin");
        ExpectNoFileName("name.bin", "a relative name without a working folder");
        std::filesystem::current_path(previous);
    }
}

TEST(TextConversion, WideAndUtf8BothWays) {
    const std::string utf8 = "a\xC3\xA4\xE4\xB8\xAD\xF0\x9F\x98\x80";
    const std::wstring wide = L"a\u00E4\u4E2D\U0001F600";
    EXPECT_EQ(Utf8ToWString(utf8), wide);
    EXPECT_EQ(WideToUtf8String(wide), utf8);
    EXPECT_EQ(std::wstring(Utf8ToWide(utf8.c_str()).get()), wide);
    EXPECT_EQ(std::string(WideToUtf8(wide.c_str()).get()), utf8);
    EXPECT_EQ(Utf8ToWide(nullptr), nullptr);
    EXPECT_EQ(WideToUtf8(nullptr), nullptr);
    EXPECT_EQ(Utf8ToWString("\xFF"), L"\uFFFD") << "lenient, never refused";
}

TEST(Base64, StandardVectorsAndPadding) {
    struct vector_case {
        std::string bytes;
        std::string text;
    } vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"\xFB\xFF\xBF", "+/+/"},
    };
    for (const auto& c : vectors) {
        EXPECT_EQ(Base64Encode(c.bytes.data(), c.bytes.size()), c.text) << c.text;
        const std::string decoded = Base64Decode(c.text);
        ASSERT_EQ(decoded.size(), c.text.size() / 4 * 3) << c.text;
        EXPECT_EQ(decoded.substr(0, c.bytes.size()), c.bytes) << c.text;
    }
    EXPECT_EQ(Base64Decode("Zm9vYmFyZg").size(), 6u) << "a partial group is ignored";
    EXPECT_EQ(Base64Decode(std::string(44, 'A')).size(), 33u);
}

TEST(Base64, AgreesWithTheBase64CommandOnEveryLengthUpTo64) {
    ASSERT_TRUE(platform::testing::have_program("base64"));
    temp_dir dir;
    std::mt19937 random(20211);
    for (std::size_t length = 0; length <= 64; ++length) {
        std::string bytes(length, '\0');
        for (char& b : bytes) {
            b = static_cast<char>(random());
        }
        const auto file = dir / "data.bin";
        write_file(file, bytes);
        const auto result = platform::testing::run({"base64", "-w", "0", file.string()}, 10s);
        ASSERT_EQ(result.exit_code, 0) << result.err;
        EXPECT_EQ(Base64Encode(bytes.data(), bytes.size()), result.out) << length;
        EXPECT_EQ(Base64Decode(result.out).substr(0, length), bytes) << length;
    }
}

TEST(Base64, BytesOutsideTheAlphabetDecodeToFixedValues) {
    std::string every_byte;
    for (int b = 0; b < 256; ++b) {
        every_byte.push_back(static_cast<char>(b));
    }
    const std::string first = Base64Decode(every_byte);
    EXPECT_EQ(first.size(), 192u);
    EXPECT_EQ(Base64Decode(every_byte), first);
    // Each group stands alone: a byte outside the alphabet does not disturb
    // the groups around it.
    EXPECT_EQ(Base64Decode("Zm9v\x80\xFF\x01=YmFy").substr(0, 3), "foo");
    EXPECT_EQ(Base64Decode("Zm9v\x80\xFF\x01=YmFy").substr(6, 3), "bar");
}

}  // namespace
