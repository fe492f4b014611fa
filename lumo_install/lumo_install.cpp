// The library's exported functions: each checks what it was handed, calls
// the code that does the work, and keeps every exception on this side.

#include "lumo_install/lumo_install.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <string_view>

#include "lumo/config_checks.hpp"
#include "lumo/text_conversions.hpp"
#include "lumo_install/copy_out.hpp"
#include "lumo_install/machine_checks.hpp"
#include "lumo_install/url_reader.hpp"
#include "qen/qen_config.hpp"
#include "vornebased/url_encode.hpp"

// The header promises one-byte results to callers in any language.
static_assert(sizeof(bool) == 1);

// What a handle points at.
struct lumo_config {
    explicit lumo_config(const std::filesystem::path& file) : loaded(file) {}
    qen::qen_config loaded;
};

namespace {

using lumo_install::copy_out;

std::string_view text(const char* bytes) {
    return bytes != nullptr ? std::string_view(bytes) : std::string_view();
}

bool is_name_start(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
}

bool is_name_char(unsigned char c) {
    return is_name_start(c) || (c >= '0' && c <= '9') || c == '-';
}

// Whether every part of a dotted key can be an element's name. Such keys
// alone have values; putting any other would make the saved file one that
// no XML reader takes.
bool is_element_path(std::string_view key) {
    while (true) {
        const std::string_view part = key.substr(0, key.find('.'));
        if (part.empty() || !is_name_start(part.front()) ||
            !std::all_of(part.begin(), part.end(),
                         [](char c) { return is_name_char(static_cast<unsigned char>(c)); })) {
            return false;
        }
        if (part.size() == key.size()) {
            return true;
        }
        key.remove_prefix(part.size() + 1);
    }
}

// A conversion whose result goes out by the copy-out rule; the empty text
// when it fails.
template <class Convert>
void convert_out(const char* input, char* buffer, std::int32_t* length, Convert convert) {
    try {
        copy_out(convert(text(input)), buffer, length);
    } catch (...) {
        copy_out({}, buffer, length);
    }
}

}  // namespace

extern "C" {

lumo_config* load_config_file(const char* path) {
    try {
        const std::string utf8 = lumo::ansi_to_utf8(text(path));
        if (utf8.empty()) {
            return nullptr;
        }
        return new lumo_config(std::filesystem::path(utf8));
    } catch (...) {
        return nullptr;
    }
}

bool save_config_file(lumo_config* config) {
    if (config == nullptr) {
        return false;
    }
    try {
        // A file the media server or the supervisor would refuse to start
        // with is never written; the one on disk stays.
        lumo::check_startable(config->loaded.tree());
        return config->loaded.save();
    } catch (...) {
        return false;
    }
}

void get_config(lumo_config* config, const char* key, const char* default_value, char* buffer,
                std::int32_t* length) {
    const std::string_view fallback = text(default_value);
    try {
        if (config == nullptr || !is_element_path(text(key))) {
            copy_out(fallback, buffer, length);
            return;
        }
        const auto value = config->loaded.tree().get_optional<std::string>(std::string(key));
        copy_out(value ? std::string_view(*value) : fallback, buffer, length);
    } catch (...) {
        copy_out(fallback, buffer, length);
    }
}

void set_config(lumo_config* config, const char* key, const char* value) {
    if (config == nullptr || !is_element_path(text(key))) {
        return;
    }
    try {
        config->loaded.tree().put(std::string(key), std::string(text(value)));
    } catch (...) {
    }
}

void delete_config(lumo_config* config) {
    delete config;
}

bool test_port(std::int32_t port, bool udp) {
    try {
        return lumo_install::port_is_free(port, udp);
    } catch (...) {
        return false;
    }
}

bool test_domain(const char* host) {
    try {
        return lumo_install::names_this_machine(std::string(text(host)));
    } catch (...) {
        return false;
    }
}

bool url_get(const char* url, char* buffer, std::uint32_t* length) {
    try {
        const std::uint64_t capacity = length != nullptr ? *length : 0;
        const std::string body = lumo_install::read_url(std::string(text(url)), capacity);
        copy_out(body, buffer, length);
        return true;
    } catch (...) {
        return false;
    }
}

void url_encode(const char* input, char* buffer, std::int32_t* length) {
    convert_out(input, buffer, length, VorneBased::UrlEncode);
}

void ansi_to_utf8(const char* input, char* buffer, std::int32_t* length) {
    convert_out(input, buffer, length, lumo::ansi_to_utf8);
}

void utf8_to_ansi(const char* input, char* buffer, std::int32_t* length) {
    convert_out(input, buffer, length, lumo::utf8_to_ansi);
}

}  // extern "C"
