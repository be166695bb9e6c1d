// The client's picture: a pane for the window, a sidebar of 25 columns
// (24 and a separator) from 64 columns up, and a status bar on the last row.
#pragma once

#include "server/server.h"

namespace ruk {

inline constexpr uint16_t SIDEBAR_COLS = 25;
inline constexpr uint16_t SIDEBAR_MIN_TERMINAL = 64;
// The colour of this machine in the sidebar, the status bar and the switcher.
inline constexpr int LOCAL_COLOUR = 114;

inline bool has_sidebar(TermSize size) { return size.cols >= SIDEBAR_MIN_TERMINAL; }

inline TermSize pane_size(TermSize size) {
    const int rows = int(size.rows) - 1;
    const int cols = int(size.cols) - (has_sidebar(size) ? SIDEBAR_COLS : 0);
    return {uint16_t(rows < 1 ? 1 : rows), uint16_t(cols < 1 ? 1 : cols)};
}

}  // namespace ruk
