#include "util/utf8.h"

#include <utf8proc.h>

namespace ruk {

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string lenient_utf8(std::string_view bytes) {
    static constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(bytes.size());
    size_t i = 0;
    const size_t n = bytes.size();
    while (i < n) {
        const auto b = static_cast<uint8_t>(bytes[i]);
        if (b < 0x80) {
            out += static_cast<char>(b);
            ++i;
            continue;
        }
        // Length of the sequence and the allowed range of its second byte, so
        // overlong forms and surrogates are refused at the earliest byte.
        size_t len = 0;
        uint8_t lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            out += REPLACEMENT;
            ++i;
            continue;
        }
        size_t good = 1;
        while (good < len && i + good < n) {
            const auto c = static_cast<uint8_t>(bytes[i + good]);
            const uint8_t min = good == 1 ? lo : 0x80;
            const uint8_t max = good == 1 ? hi : 0xBF;
            if (c < min || c > max) break;
            ++good;
        }
        if (good == len) {
            out.append(bytes.substr(i, len));
        } else {
            out += REPLACEMENT;  // one replacement per maximal invalid subpart
        }
        i += good;
    }
    return out;
}

Decoded decode_utf8_at(std::string_view text, size_t at) {
    if (at >= text.size()) return {0, 0};
    utf8proc_int32_t value = 0;
    const auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + at),
                                    static_cast<utf8proc_ssize_t>(text.size() - at), &value);
    if (n <= 0) return {0xFFFD, 1};
    return {static_cast<char32_t>(value), static_cast<size_t>(n)};
}

bool is_letter_or_digit(char32_t cp) {
    switch (utf8proc_category(static_cast<utf8proc_int32_t>(cp))) {
        case UTF8PROC_CATEGORY_LU:
        case UTF8PROC_CATEGORY_LL:
        case UTF8PROC_CATEGORY_LT:
        case UTF8PROC_CATEGORY_LM:
        case UTF8PROC_CATEGORY_LO:
        case UTF8PROC_CATEGORY_ND:
        case UTF8PROC_CATEGORY_NL:
        case UTF8PROC_CATEGORY_NO: return true;
        default: return false;
    }
}

}  // namespace ruk
