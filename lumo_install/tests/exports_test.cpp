#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "lumo_install/tests/c_caller.h"
#include "lumo_install/tests/installer_library.hpp"
#include "platform/testing/test_support.hpp"

namespace {

using namespace lumo_install_testing;
using namespace std::chrono_literals;

std::vector<std::string> expected_exports() {
    return {export_names(), export_names() + export_count};
}

TEST(Exports, EveryNameResolvesInALibraryOpenedLocally) {
    void* handle = dlopen(library_file(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    for (const auto& name : expected_exports()) {
        EXPECT_NE(dlsym(handle, name.c_str()), nullptr) << name;
    }
    dlclose(handle);
}

TEST(Exports, TheDynamicSymbolTableHoldsTheElevenNamesOnly) {
    const auto nm = platform::testing::run({"nm", "-D", "--defined-only", library_file()}, 60s);
    ASSERT_EQ(nm.exit_code, 0) << nm.err;
    std::vector<std::string> defined;
    std::istringstream lines(nm.out);
    for (std::string address, kind, name; lines >> address >> kind >> name;) {
        defined.push_back(name);
    }
    EXPECT_EQ(defined, expected_exports()) << nm.out;
}

TEST(Exports, AProgramInCCallsThroughTheHeader) {
    const char* failure = call_from_c(library_file());
    EXPECT_EQ(failure, nullptr) << failure;
}

// Every text result goes out by one rule; each function is tried with a
// result of its own.
TEST(Exports, TextResultsAreCopiedOutByOneRule) {
    const auto& lib = library();
    lumo_config* config = nullptr;  // get_config of no configuration: the default
    struct text_function {
        const char* name;
        copying_call call;
    } functions[] = {
        {"url_encode", [&](char* b, std::int32_t* l) { lib.url_encode("a b/c", b, l); }},
        {"ansi_to_utf8", [&](char* b, std::int32_t* l) { lib.ansi_to_utf8("plain text", b, l); }},
        {"utf8_to_ansi", [&](char* b, std::int32_t* l) { lib.utf8_to_ansi("plain text", b, l); }},
        {"get_config",
         [&](char* b, std::int32_t* l) { lib.get_config(config, "config.x", "fallback", b, l); }},
    };
    for (const auto& f : functions) {
        const std::string result = whole_result(f.call);
        ASSERT_GT(result.size(), 2u) << f.name;
        const auto n = static_cast<std::int32_t>(result.size());
        struct capacity_case {
            const char* name;
            std::int32_t capacity;
            std::string expected;
        } cases[] = {
            {"no room", 0, ""},
            {"a negative capacity", -1, ""},
            {"the most negative capacity", INT32_MIN, ""},
            {"one byte: the NUL alone", 1, ""},
            {"an exact fit", n + 1, result},
            {"one byte short", n, result.substr(0, result.size() - 1)},
            {"a larger buffer", n + 40, result},
        };
        for (const auto& c : cases) {
            const copied out = call_with_capacity(f.call, c.capacity);
            SCOPED_TRACE(std::string(f.name) + ", " + c.name);
            EXPECT_EQ(out.text, c.expected);
            EXPECT_EQ(out.length, static_cast<std::int32_t>(c.expected.size()));
            EXPECT_EQ(out.terminated, c.capacity > 0);
            EXPECT_TRUE(out.guard_intact);
        }
    }
}

TEST(Exports, NullBuffersAndLengthsGetNothing) {
    const auto& lib = library();
    std::int32_t length = 100;
    lib.url_encode("abc", nullptr, &length);
    EXPECT_EQ(length, 0);
    lib.url_encode("abc", nullptr, nullptr);
    char buffer[8] = "xxxxxxx";
    lib.ansi_to_utf8("abc", buffer, nullptr);
    lib.get_config(nullptr, "k", "v", buffer, nullptr);
    EXPECT_STREQ(buffer, "xxxxxxx");

    // Null texts count as empty.
    length = sizeof buffer;
    lib.utf8_to_ansi(nullptr, buffer, &length);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(buffer[0], '\0');
}

}  // namespace
