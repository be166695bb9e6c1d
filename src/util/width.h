// Display columns of UTF-8 text by the East Asian width rules: what every
// sidebar, status bar, switcher and table computes its fills and cuts with.
// Text is measured as it stands: escape sequences are not skipped, so measure
// the plain text before it is coloured.
#pragma once

#include <string>
#include <string_view>

namespace ruk {

// 0 for combining and control characters, 2 for wide ones, else 1.
int char_width(char32_t cp);
int display_width(std::string_view text);

// The longest beginning of the text at most `columns` wide (whole characters:
// a wide character that would straddle the limit is left out).
std::string_view take_columns(std::string_view text, int columns);

// The text cut to `columns` and padded with blanks to exactly that width.
std::string fit_columns(std::string_view text, int columns);
// The text padded with blanks to at least `columns`.
std::string pad_columns(std::string_view text, int columns);

// At most `columns` wide, keeping the end: a wider text becomes "…" followed by
// its last characters. Empty when `columns` is not positive.
std::string shorten_keep_end(std::string_view text, int columns);
// At most `columns` wide, keeping the beginning: a wider text becomes its first
// characters followed by "…". Empty when `columns` is not positive.
std::string shorten_keep_start(std::string_view text, int columns);

}  // namespace ruk
