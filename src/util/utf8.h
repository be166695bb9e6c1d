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

}  // namespace ruk
