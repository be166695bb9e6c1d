// UTF-8 helpers. Text from sockets, the system and other processes is decoded
// leniently: an invalid sequence becomes U+FFFD, never an error.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace ruk {

// The bytes as valid UTF-8, every maximal invalid subpart replaced by U+FFFD.
std::string lenient_utf8(std::string_view bytes);
inline std::string lenient_utf8(std::span<const uint8_t> bytes) {
    return lenient_utf8(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// Appends the UTF-8 form of a code point.
void append_utf8(std::string& out, char32_t cp);

struct Decoded {
    char32_t cp = 0;
    size_t length = 0;  // bytes
};
// The code point that starts at byte `at`; an invalid sequence reads as
// U+FFFD of one byte, the end of the text as 0 of no bytes.
Decoded decode_utf8_at(std::string_view text, size_t at = 0);

// Letters and digits of any script (Unicode categories L* and N*).
bool is_letter_or_digit(char32_t cp);

}  // namespace ruk
