// The key help shown in the pane: the version line and the key list, reflowed
// to the pane width.
#pragma once

#include <cstddef>
#include <optional>

#include "screen/screen.h"

namespace ruk {

// How many lines the help has when reflowed to `width` columns.
size_t help_line_count(int width);

// A screen of the pane size showing the help from line `offset` on (limited so
// that the last page is full); nothing when there is no help to show.
std::optional<Screen> render_help(size_t offset, int rows, int cols);

}  // namespace ruk
