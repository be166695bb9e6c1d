// Reading the escape sequences that a terminal sends for keys: enough to tell
// one key from the next, not to understand them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace ruk {

inline constexpr uint8_t ESC = 0x1b;

inline bool starts_with(std::span<const uint8_t> bytes, std::string_view text) {
    if (bytes.size() < text.size()) return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (bytes[i] != static_cast<uint8_t>(text[i])) return false;
    return true;
}

// The length of the sequence that starts with ESC [ or ESC O at the front of
// `bytes`: ESC [ runs to its final byte (0x40-0x7E), ESC O takes one more
// byte. A sequence cut short by the end of the input takes the rest. 0 when
// `bytes` does not start with ESC [ or ESC O.
inline size_t key_sequence_length(std::span<const uint8_t> bytes) {
    if (bytes.size() < 2 || bytes[0] != ESC) return 0;
    if (bytes[1] == 'O') return bytes.size() < 3 ? bytes.size() : 3;
    if (bytes[1] != '[') return 0;
    for (size_t i = 2; i < bytes.size(); ++i)
        if (bytes[i] >= 0x40 && bytes[i] <= 0x7e) return i + 1;
    return bytes.size();
}

}  // namespace ruk
