#include "util/sanitize.h"

#include "util/utf8.h"

namespace ruk {

std::string sanitize_text(std::string_view text) {
    const std::string valid = lenient_utf8(text);
    std::string out;
    out.reserve(valid.size());
    size_t i = 0;
    while (i < valid.size()) {
        const auto b = static_cast<uint8_t>(valid[i]);
        const size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        char32_t cp = 0;
        if (len == 1) {
            cp = b;
        } else {
            cp = b & (0xFF >> (len + 1));
            for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<uint8_t>(valid[i + k]) & 0x3F);
        }
        if ((cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069)) {
            // dropped
        } else if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
            out += '?';
        } else {
            out.append(valid, i, len);
        }
        i += len;
    }
    return out;
}

}  // namespace ruk
