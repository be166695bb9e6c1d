// The key help shown in the pane: the version line and the key list, reflowed
// to the pane width.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "screen/screen.h"

namespace ruk {

// A two-column text reflowed to `width` columns (at least 1). An entry is a
// line with its continuation lines: those indented to its description column
// (what follows its first double blank, or its first ": "). Entries wrap at
// blanks, their wrapped lines indented to the description column unless
// that is past half the width.
std::vector<std::string> reflow_text(std::string_view text, int width);

// The version line, an empty line and the key list, reflowed.
const std::vector<std::string>& help_lines(int width);

// How many lines the help has when reflowed to `width` columns.
size_t help_line_count(int width);

// A screen of the pane size showing the help from line `offset` on (limited so
// that the last page is full). Always a screen; the optional lets the composer
// fall back to the live window should the help ever have nothing to show.
std::optional<Screen> render_help(size_t offset, int rows, int cols);

}  // namespace ruk
