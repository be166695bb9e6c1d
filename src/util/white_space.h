// Unicode white space (the White_Space property), and trimming it from UTF-8
// text. Bytes that are not valid UTF-8 are never white space, so text from
// the system can be trimmed before it is cleaned up.
#pragma once

#include <string_view>

namespace ruk {

bool is_white_space(char32_t cp);

std::string_view trim_start_white_space(std::string_view text);
std::string_view trim_end_white_space(std::string_view text);
std::string_view trim_white_space(std::string_view text);

}  // namespace ruk
