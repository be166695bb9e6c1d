#include "util/white_space.h"

#include <cstdint>

namespace ruk {
namespace {

constexpr char32_t INVALID = 0xFFFFFFFF;

// The code point of the `len`-byte sequence at text[i], or INVALID when the
// bytes there are not one.

char32_t decode_at(std::string_view text, size_t i, size_t len) {
    if (i + len > text.size()) return INVALID;
    const auto b = static_cast<uint8_t>(text[i]);
    if (len == 1) return b < 0x80 ? b : INVALID;
    char32_t cp = b & (0xFF >> (len + 1));
    for (size_t k = 1; k < len; ++k) {
        const auto c = static_cast<uint8_t>(text[i + k]);
        if ((c & 0xC0) != 0x80) return INVALID;
        cp = (cp << 6) | (c & 0x3F);
    }
    return cp;
}

size_t sequence_length(uint8_t lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

}  // namespace

bool is_white_space(char32_t cp) {
    if (cp <= 0x20) return cp == 0x20 || (cp >= 0x09 && cp <= 0x0D);
    if (cp < 0x85) return false;
    return cp == 0x85 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 ||
           cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

std::string_view trim_start_white_space(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const size_t len = sequence_length(static_cast<uint8_t>(text[i]));
        if (len == 0) break;
        const char32_t cp = decode_at(text, i, len);
        if (cp == INVALID || !is_white_space(cp)) break;
        i += len;
    }
    return text.substr(i);
}

std::string_view trim_end_white_space(std::string_view text) {
    size_t end = text.size();
    while (end > 0) {
        // Back over continuation bytes to the lead byte of the last character.
        size_t start = end - 1;
        while (start > 0 && end - start < 4 && (static_cast<uint8_t>(text[start]) & 0xC0) == 0x80) --start;
        const size_t len = sequence_length(static_cast<uint8_t>(text[start]));
        if (len != end - start) break;
        const char32_t cp = decode_at(text, start, len);
        if (cp == INVALID || !is_white_space(cp)) break;
        end = start;
    }
    return text.substr(0, end);
}

std::string_view trim_white_space(std::string_view text) { return trim_end_white_space(trim_start_white_space(text)); }

}  // namespace ruk
