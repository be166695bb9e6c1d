#include "util/width.h"

#include <utf8proc.h>

#include <sys/types.h>

namespace ruk {

namespace {

constexpr std::string_view ELLIPSIS = "\xE2\x80\xA6";  // …

// Decodes the character at `at`; an invalid byte counts as one U+FFFD.
size_t next_char(std::string_view text, size_t at, char32_t& cp) {
    utf8proc_int32_t value = 0;
    auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + at),
                              static_cast<utf8proc_ssize_t>(text.size() - at), &value);
    if (n <= 0) {
        cp = 0xFFFD;
        return 1;
    }
    cp = static_cast<char32_t>(value);
    return static_cast<size_t>(n);
}

}  // namespace

int char_width(char32_t cp) {
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) return 0;
    return utf8proc_charwidth(static_cast<utf8proc_int32_t>(cp));
}

int display_width(std::string_view text) {
    int width = 0;
    for (size_t i = 0; i < text.size();) {
        char32_t cp;
        i += next_char(text, i, cp);
        width += char_width(cp);
    }
    return width;
}

std::string_view take_columns(std::string_view text, int columns) {
    int width = 0;
    size_t i = 0;
    while (i < text.size()) {
        char32_t cp;
        size_t n = next_char(text, i, cp);
        int w = char_width(cp);
        if (width + w > columns) break;
        width += w;
        i += n;
    }
    return text.substr(0, i);
}

std::string fit_columns(std::string_view text, int columns) {
    return pad_columns(take_columns(text, columns), columns);
}

std::string pad_columns(std::string_view text, int columns) {
    std::string out(text);
    int width = display_width(text);
    if (width < columns) out.append(size_t(columns - width), ' ');
    return out;
}

std::string shorten_keep_end(std::string_view text, int columns) {
    if (columns <= 0) return {};
    int width = display_width(text);
    if (width <= columns) return std::string(text);
    // Drop characters from the front until the rest and the ellipsis fit.
    size_t i = 0;
    while (i < text.size() && width > columns - 1) {
        char32_t cp;
        i += next_char(text, i, cp);
        width -= char_width(cp);
    }
    // Combining marks of a dropped character go with it.
    while (i < text.size()) {
        char32_t cp;
        size_t n = next_char(text, i, cp);
        if (char_width(cp) != 0) break;
        i += n;
    }
    std::string out(ELLIPSIS);
    out += text.substr(i);
    return out;
}

std::string shorten_keep_start(std::string_view text, int columns) {
    if (columns <= 0) return {};
    if (display_width(text) <= columns) return std::string(text);
    std::string out(take_columns(text, columns - 1));
    out += ELLIPSIS;
    return out;
}

}  // namespace ruk
