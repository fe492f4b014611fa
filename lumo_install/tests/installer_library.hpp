#pragma once

// The installer's library loaded as an installer loads it, and the ways the
// tests hand it buffers.

#include <cstdint>
#include <functional>
#include <string>

#include "lumo_install/lumo_install.h"

namespace lumo_install_testing {

// The library opened with dlopen and its functions found by name. Loaded
// once per process, at first use; loading fails the test program.
struct installer_library {
    decltype(&::load_config_file) load_config_file;
    decltype(&::save_config_file) save_config_file;
    decltype(&::get_config) get_config;
    decltype(&::set_config) set_config;
    decltype(&::delete_config) delete_config;
    decltype(&::test_port) test_port;
    decltype(&::test_domain) test_domain;
    decltype(&::url_get) url_get;
    decltype(&::url_encode) url_encode;
    decltype(&::ansi_to_utf8) ansi_to_utf8;
    decltype(&::utf8_to_ansi) utf8_to_ansi;
};

const installer_library& library();

// The built library's file.
const char* library_file();

// The eleven names, sorted.
const char* const* export_names();
constexpr int export_count = 11;

// A function that copies its result out to a buffer of the given capacity.
using copying_call = std::function<void(char* buffer, std::int32_t* length)>;

// What a copying call left in a buffer followed by guard bytes.
struct copied {
    std::int32_t length = -1;
    std::string text;          // the buffer's first `length` bytes
    bool terminated = false;   // a NUL right after them
    bool guard_intact = true;  // every byte after that NUL (after nothing,
                               // when no NUL was written) as it was
};

// Calls with a buffer of `capacity` bytes (none for 0 or below) and guard
// bytes after it.
copied call_with_capacity(const copying_call& call, std::int32_t capacity);

// The whole result, with a buffer large enough for any test's.
std::string whole_result(const copying_call& call);

// Runs `check` in a fresh process whose LUMO_ANSI_CHARSET is `charset`
// (unset for null), since the library reads it once per process, and
// expects it to report nothing: what it returns is each mismatch it found.
void expect_with_charset(const char* charset, const std::function<std::string()>& check);

// A line for a check's report when `actual` is not `expected`.
std::string mismatch(const std::string& what, const std::string& actual,
                     const std::string& expected);

}  // namespace lumo_install_testing
