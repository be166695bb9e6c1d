// The switcher's list and box: which rows it shows (machine headers and
// entries), where the box sits in the pane, how the list scrolls to keep the
// selection in view, and what a click inside the box lands on.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "picker/entries.h"
#include "server/server.h"

namespace ruk {

// One shown row: the header of a machine's group or a matching entry. Both
// carry a position in the list of matching entries: a header that of the
// first entry of its group.
struct SwitcherRow {
    enum class Kind { Header, Entry };
    Kind kind = Kind::Entry;
    size_t match = 0;
    bool operator==(const SwitcherRow&) const = default;
};

// Headers appear only when the entries (matching or not) span more than one
// host; then each run of matching entries of one host gets one.
std::vector<SwitcherRow> switcher_rows(const std::vector<SwitcherEntry>& entries, const std::vector<size_t>& matching);

// Everything one frame or one key of the switcher works from.
struct SwitcherList {
    std::vector<SwitcherEntry> entries;
    std::vector<size_t> matching;  // indices into entries
    std::vector<SwitcherRow> rows;
    bool headers = false;
};
SwitcherList switcher_list(std::vector<SwitcherEntry> entries, std::string_view query);

// The box in pane coordinates from 0. From the top: border, input line,
// separator, `visible` list lines, footer (height - 2), border (height - 1).
struct SwitcherBox {
    int width = 0;    // B: the pane's width below 50 columns, else at most 72
    int inner = 0;    // B - 2
    int visible = 1;  // list lines
    int height = 0;
    int left = 0, top = 0;
    bool operator==(const SwitcherBox&) const = default;
};
SwitcherBox switcher_box(TermSize pane, size_t row_count);

// Keeps `selected` among the matching entries and scrolls so that its row
// (and the header of its group, when it is the group's first) is in view.
void follow_selection(SwitcherState& state, const SwitcherList& list, int pane_height);

bool box_contains(const SwitcherBox& box, int x, int y);
// The entry (index into list.entries) that a click at (x, y) chooses: an
// entry row's own, or for a header row the first entry of its group.
std::optional<size_t> entry_at(const SwitcherState& state, const SwitcherList& list, const SwitcherBox& box, int x,
                               int y);

}  // namespace ruk
