#include "util/white_space.h"

#include <cstdint>

#include "util/utf8.h"

namespace ruk {

bool is_white_space(char32_t cp) {
    if (cp <= 0x20) return cp == 0x20 || (cp >= 0x09 && cp <= 0x0D);
    if (cp < 0x85) return false;
    return cp == 0x85 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 ||
           cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

// Bytes that are not valid UTF-8 (overlong forms included) decode as U+FFFD,
// which is no white space, so trimming stops at them.
std::string_view trim_start_white_space(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const Decoded d = decode_utf8_at(text, i);
        if (!is_white_space(d.cp)) break;
        i += d.length;
    }
    return text.substr(i);
}

std::string_view trim_end_white_space(std::string_view text) {
    size_t end = text.size();
    while (end > 0) {
        // Back over continuation bytes to the lead byte of the last character.
        size_t start = end - 1;
        while (start > 0 && end - start < 4 && (static_cast<uint8_t>(text[start]) & 0xC0) == 0x80) --start;
        const Decoded d = decode_utf8_at(text, start);
        if (d.length != end - start || !is_white_space(d.cp)) break;
        end = start;
    }
    return text.substr(0, end);
}

std::string_view trim_white_space(std::string_view text) { return trim_end_white_space(trim_start_white_space(text)); }

}  // namespace ruk
