// The program's fixed texts and build identity.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ruk {

extern const uint64_t BUILD_NUMBER;
inline constexpr std::string_view RELEASE = "0.1.4";
inline constexpr std::string_view COMMIT_ID = "4b1d0e9";
// The release address compiled in (empty: none).
extern const std::string_view DEFAULT_UPDATE_URL;

extern const std::string_view USAGE_TEXT;
extern const std::string_view KEYS_TEXT;

// "ruk 0.1.4 4b1d0e9, built 2026-10-05 15:24:23 UTC": the build time is the
// build number read as milliseconds since 1970.
std::string version_line();
std::string version_line(uint64_t build);
// A build number as the UTC date and time it stands for: "2026-10-05 15:24:23".
std::string build_time_text(uint64_t build);

}  // namespace ruk
