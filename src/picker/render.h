// Drawing the switcher: the escape sequences that paint its box over a copy
// of the pane, ending with the cursor right after the query.
#pragma once

#include <cstdint>
#include <string>

#include "picker/list.h"
#include "screen/screen.h"

namespace ruk {

struct SwitcherDrawing {
    std::string bytes;
    CursorPos cursor;  // in the pane, 0-based: after the shown query
};

// `state` as follow_selection left it.
SwitcherDrawing render_switcher(const SwitcherState& state, const SwitcherList& list, TermSize pane, uint64_t tick);

}  // namespace ruk
