#include "lumo/text_conversions.hpp"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>

#include "foundation/utf8.hpp"

namespace lumo {

namespace {

// glibc's name for wchar_t text in the machine's own byte order.
constexpr const char* wide_charset = "WCHAR_T";

bool is_utf8(const std::string& charset) {
    return charset == "UTF-8" || charset == "UTF8" || charset == "utf-8" || charset == "utf8";
}

// One iconv descriptor for one conversion; descriptors keep shift state, so
// they are never shared between threads.
class iconv_converter {
  public:
    iconv_converter(const char* to, const char* from) : handle_(iconv_open(to, from)) {}
    ~iconv_converter() {
        if (valid()) {
            iconv_close(handle_);
        }
    }
    iconv_converter(const iconv_converter&) = delete;
    iconv_converter& operator=(const iconv_converter&) = delete;

    bool valid() const { return handle_ != reinterpret_cast<iconv_t>(-1); }

    // Converts all of `in`; each input unit that cannot be converted or that
    // the target cannot hold is skipped and `substitute` written instead.
    // Nothing when iconv fails in another way.
    std::optional<std::string> convert(std::string_view in, std::size_t unit,
                                       std::string_view substitute) {
        std::string out;
        char buffer[1024];
        char* in_pos = const_cast<char*>(in.data());
        std::size_t in_left = in.size();
        while (in_left != 0) {
            char* out_pos = buffer;
            std::size_t out_left = sizeof buffer;
            const std::size_t result = iconv(handle_, &in_pos, &in_left, &out_pos, &out_left);
            out.append(buffer, out_pos);
            if (result != static_cast<std::size_t>(-1) || errno == E2BIG) {
                continue;
            }
            if (errno == EILSEQ) {
                const std::size_t skipped = std::min(unit, in_left);
                in_pos += skipped;
                in_left -= skipped;
            } else if (errno == EINVAL) {  // cut off inside a character at the end
                in_left = 0;
            } else {
                return std::nullopt;
            }
            out.append(substitute);
        }
        // Back to the initial shift state, for charsets that have one.
        char* out_pos = buffer;
        std::size_t out_left = sizeof buffer;
        if (iconv(handle_, nullptr, nullptr, &out_pos, &out_left) == static_cast<std::size_t>(-1)) {
            return std::nullopt;
        }
        out.append(buffer, out_pos);
        return out;
    }

  private:
    iconv_t handle_;
};

std::string_view as_bytes(std::wstring_view wide) {
    return {reinterpret_cast<const char*>(wide.data()), wide.size() * sizeof(wchar_t)};
}

}  // namespace

const std::string& ansi_charset() {
    static const std::string charset = [] {
        const char* name = std::getenv("LUMO_ANSI_CHARSET");
        return std::string(name != nullptr && *name != '\0' ? name : "UTF-8");
    }();
    return charset;
}

std::wstring utf8_to_wide(std::string_view utf8) {
    return utf8_to_wstring(utf8);
}

std::string wide_to_utf8(std::wstring_view wide) {
    return wstring_to_utf8(wide);
}

std::wstring charset_to_wide(std::string_view text, const std::string& charset) {
    if (is_utf8(charset)) {
        return utf8_to_wstring(text);
    }
    iconv_converter converter(wide_charset, charset.c_str());
    if (!converter.valid()) {
        return {};
    }
    const wchar_t replacement = 0xFFFD;
    const auto bytes = converter.convert(
        text, 1, {reinterpret_cast<const char*>(&replacement), sizeof replacement});
    if (!bytes) {
        return {};
    }
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes->data()),
                        bytes->size() / sizeof(wchar_t));
}

std::string wide_to_charset(std::wstring_view wide, const std::string& charset) {
    if (is_utf8(charset)) {
        return wstring_to_utf8(wide);
    }
    iconv_converter converter(charset.c_str(), wide_charset);
    if (!converter.valid()) {
        return {};
    }
    return converter.convert(as_bytes(wide), sizeof(wchar_t), "?").value_or(std::string());
}

std::wstring ansi_to_wide(std::string_view ansi) {
    return charset_to_wide(ansi, ansi_charset());
}

std::string wide_to_ansi(std::wstring_view wide) {
    return wide_to_charset(wide, ansi_charset());
}

std::string utf8_to_ansi(std::string_view utf8) {
    return wide_to_ansi(utf8_to_wide(utf8));
}

std::string ansi_to_utf8(std::string_view ansi) {
    return wide_to_utf8(ansi_to_wide(ansi));
}

}  // namespace lumo
