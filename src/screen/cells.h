// Helpers shared by the screen's files: cell characters (a code point, or an
// interned cluster of a base character and its combining characters) and
// blank cells.
#pragma once

#include <cstdint>
#include <string>

#include "screen/screen.h"

namespace ruk::screen_detail {

// The Cell::ch value for a base character followed by count - 1 combining
// characters. Clusters are interned for the whole process so that cells can be
// copied between screens; once the table is full (a program that sends
// endless distinct clusters), only the base character is kept.
uint32_t cell_char(const uint32_t* chars, int count);

// The UTF-8 text of a Cell::ch value.
void append_cell_chars(std::string& out, uint32_t ch);

// An erased cell: blank, with only the background of the pen that erased it.
inline Cell blank_cell(Color bg) {
    Cell c;
    c.attrs.bg = bg;
    return c;
}

}  // namespace ruk::screen_detail
