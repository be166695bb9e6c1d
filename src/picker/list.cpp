#include "picker/list.h"

#include <algorithm>

#include "picker/matching.h"

namespace ruk {

namespace {

constexpr int MAX_BOX_WIDTH = 72;
constexpr int NARROW_PANE = 50;
constexpr int MAX_VISIBLE = 12;
constexpr int CHROME = 5;  // borders, input line, separator, footer
constexpr int LIST_TOP = 3;

bool several_hosts(const std::vector<SwitcherEntry>& entries) {
    return std::any_of(entries.begin(), entries.end(),
                       [&](const SwitcherEntry& e) { return e.host != entries.front().host; });
}

// List lines that fit below the input: at least one.
int fitting_rows(size_t row_count, int pane_height) {
    return int(std::min<size_t>(row_count, size_t(std::max(pane_height - CHROME, 1))));
}

int visible_lines(size_t row_count, int pane_height) {
    return row_count == 0 ? 1 : std::min(fitting_rows(row_count, pane_height), MAX_VISIBLE);
}

}  // namespace

std::vector<SwitcherRow> switcher_rows(const std::vector<SwitcherEntry>& entries, const std::vector<size_t>& matching) {
    std::vector<SwitcherRow> rows;
    const bool headers = several_hosts(entries);
    for (size_t m = 0; m < matching.size(); ++m) {
        if (headers && (m == 0 || entries[matching[m]].host != entries[matching[m - 1]].host))
            rows.push_back({SwitcherRow::Kind::Header, m});
        rows.push_back({SwitcherRow::Kind::Entry, m});
    }
    return rows;
}

SwitcherList switcher_list(std::vector<SwitcherEntry> entries, std::string_view query) {
    SwitcherList list;
    list.entries = std::move(entries);
    list.matching = matching(list.entries, query);
    list.rows = switcher_rows(list.entries, list.matching);
    list.headers = several_hosts(list.entries);
    return list;
}

SwitcherBox switcher_box(TermSize pane, size_t row_count) {
    const int w = pane.cols, h = pane.rows;
    SwitcherBox box;
    box.width = w < NARROW_PANE ? w : std::min(w - 4, MAX_BOX_WIDTH);
    box.inner = box.width - 2;
    box.visible = visible_lines(row_count, h);
    box.height = std::min(h, box.visible + CHROME);
    box.left = (w - box.width) / 2;
    box.top = (h - box.height) / 2;
    return box;
}

void follow_selection(SwitcherState& state, const SwitcherList& list, int pane_height) {
    const size_t n = list.matching.size();
    state.selected = n == 0 ? 0 : std::min(state.selected, n - 1);
    const auto& rows = list.rows;
    const auto at = std::find(rows.begin(), rows.end(), SwitcherRow{SwitcherRow::Kind::Entry, state.selected});
    if (at == rows.end()) {
        state.scroll = 0;
        return;
    }
    const size_t p = size_t(at - rows.begin());
    const size_t visible = size_t(visible_lines(rows.size(), pane_height));
    // The first entry of a group brings its header along, room permitting.
    const bool header_above = p > 0 && rows[p - 1].kind == SwitcherRow::Kind::Header;
    const size_t wanted_top = header_above && fitting_rows(rows.size(), pane_height) >= 2 ? p - 1 : p;
    if (wanted_top < state.scroll) state.scroll = wanted_top;
    else if (p >= state.scroll + visible) state.scroll = p - visible + 1;
    state.scroll = std::min(state.scroll, rows.size() - visible);
}

bool box_contains(const SwitcherBox& box, int x, int y) {
    return x >= box.left && x < box.left + box.width && y >= box.top && y < box.top + box.height;
}

std::optional<size_t> entry_at(const SwitcherState& state, const SwitcherList& list, const SwitcherBox& box, int x,
                               int y) {
    if (x < box.left || x >= box.left + box.width) return std::nullopt;
    // In a pane too low for the whole box the footer and the bottom border
    // cover the last list lines; a click there is on them, not on a row.
    const int last = std::min(box.top + LIST_TOP + box.visible, box.top + box.height - 2);
    if (y < box.top + LIST_TOP || y >= last) return std::nullopt;
    const size_t k = state.scroll + size_t(y - box.top - LIST_TOP);
    if (k >= list.rows.size()) return std::nullopt;
    return list.matching[list.rows[k].match];
}

}  // namespace ruk
