#include "lumo_install/tests/installer_library.hpp"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <vector>

namespace lumo_install_testing {
namespace {

constexpr const char* names[export_count] = {
    "ansi_to_utf8",     "delete_config", "get_config",   "load_config_file",
    "save_config_file", "set_config",    "test_domain",  "test_port",
    "url_encode",       "url_get",       "utf8_to_ansi",
};

constexpr char guard = '\xA5';

[[noreturn]] void fail_loading(const char* what) {
    std::fprintf(stderr, "%s: %s\n", what, dlerror());
    std::abort();
}

template <class Function>
void find(void* handle, const char* name, Function*& function) {
    void* found = dlsym(handle, name);
    if (found == nullptr) {
        fail_loading(name);
    }
    function = reinterpret_cast<Function*>(found);
}

installer_library load() {
    void* handle = dlopen(library_file(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        fail_loading(library_file());
    }
    installer_library l;
    find(handle, "load_config_file", l.load_config_file);
    find(handle, "save_config_file", l.save_config_file);
    find(handle, "get_config", l.get_config);
    find(handle, "set_config", l.set_config);
    find(handle, "delete_config", l.delete_config);
    find(handle, "test_port", l.test_port);
    find(handle, "test_domain", l.test_domain);
    find(handle, "url_get", l.url_get);
    find(handle, "url_encode", l.url_encode);
    find(handle, "ansi_to_utf8", l.ansi_to_utf8);
    find(handle, "utf8_to_ansi", l.utf8_to_ansi);
    // Stays loaded until the process ends, as in an installer.
    return l;
}

}  // namespace

const installer_library& library() {
    static const installer_library loaded = load();
    return loaded;
}

const char* library_file() {
    return LUMO_INSTALL_LIBRARY;
}

const char* const* export_names() {
    return names;
}

copied call_with_capacity(const copying_call& call, std::int32_t capacity) {
    const std::size_t size = static_cast<std::size_t>(std::max(capacity, 0));
    std::vector<char> buffer(size + 64, guard);
    copied result;
    result.length = capacity;
    call(buffer.data(), &result.length);

    std::size_t untouched_from = 0;
    if (result.length >= 0 && static_cast<std::size_t>(result.length) < size) {
        const auto length = static_cast<std::size_t>(result.length);
        result.text.assign(buffer.data(), length);
        result.terminated = buffer[length] == '\0';
        untouched_from = result.terminated ? length + 1 : length;
    }
    result.guard_intact = std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(untouched_from),
                                      buffer.end(), [](char c) { return c == guard; });
    return result;
}

std::string whole_result(const copying_call& call) {
    return call_with_capacity(call, 1 << 16).text;
}

void expect_with_charset(const char* charset, const std::function<std::string()>& check) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            if (charset != nullptr) {
                setenv("LUMO_ANSI_CHARSET", charset, 1);
            } else {
                unsetenv("LUMO_ANSI_CHARSET");
            }
            const std::string report = check();
            std::cerr << report;
            std::exit(report.empty() ? 0 : 1);
        },
        testing::ExitedWithCode(0), "^$")
        << "with LUMO_ANSI_CHARSET " << (charset != nullptr ? charset : "unset");
}

std::string mismatch(const std::string& what, const std::string& actual,
                     const std::string& expected) {
    if (actual == expected) {
        return {};
    }
    return what + ": got \"" + actual + "\", expected \"" + expected + "\"\n";
}

}  // namespace lumo_install_testing
