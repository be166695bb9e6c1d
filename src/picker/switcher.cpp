// The switcher as the server drives it. Its entries are rebuilt for every
// key, click and frame, so a choice always goes to what exists now; the
// selection is a position among the matching entries, kept in range by
// follow_selection before each frame and clamped again before it is used.
#include "picker/switcher.h"

#include <algorithm>

#include "picker/list.h"
#include "picker/matching.h"
#include "picker/render.h"
#include "server/layout.h"
#include "server/server.h"
#include "server/view.h"

namespace ruk {

namespace {

SwitcherList current_list(const Server& server) {
    return switcher_list(switcher_entries(server), server.switcher->query);
}

SwitcherBox current_box(const Server& server, const SwitcherList& list) {
    return switcher_box(pane_size(server.size), list.rows.size());
}

// Closes the switcher, then goes to the entry: going may open a window.
void close_and_go(Server& server, const SwitcherEntry& entry) {
    const ViewTarget target = entry.target;
    server.switcher.reset();
    go_to_target(server, target);
}

}  // namespace

std::optional<std::string> switcher_overlay(Server& server) {
    if (!server.switcher) return std::nullopt;
    const SwitcherList list = current_list(server);
    const TermSize pane = pane_size(server.size);
    follow_selection(*server.switcher, list, pane.rows);
    return render_switcher(*server.switcher, list, pane, server.tick).bytes;
}

void switcher_refresh_selection(Server& server) {
    if (!server.switcher) return;
    server.switcher->selected = best_match(switcher_entries(server), server.switcher->query);
    server.switcher->scroll = 0;
}

void switcher_move(Server& server, int delta) {
    if (!server.switcher) return;
    const size_t n = current_list(server).matching.size();
    if (n == 0) return;
    const int64_t count = int64_t(n);
    const int64_t from = int64_t(std::min(server.switcher->selected, n - 1));
    server.switcher->selected = size_t(((from + delta) % count + count) % count);
}

void switcher_choose(Server& server) {
    if (!server.switcher) return;
    const SwitcherList list = current_list(server);
    if (list.matching.empty()) {
        server.switcher.reset();
        return;
    }
    const size_t selected = std::min(server.switcher->selected, list.matching.size() - 1);
    close_and_go(server, list.entries[list.matching[selected]]);
}

bool switcher_box_contains(const Server& server, int x, int y) {
    if (!server.switcher) return false;
    return box_contains(current_box(server, current_list(server)), x, y);
}

std::optional<size_t> switcher_entry_at(const Server& server, int x, int y) {
    if (!server.switcher) return std::nullopt;
    const SwitcherList list = current_list(server);
    return entry_at(*server.switcher, list, current_box(server, list), x, y);
}

void switcher_choose_at(Server& server, size_t entry) {
    if (!server.switcher) return;
    const auto entries = switcher_entries(server);
    if (entry >= entries.size()) {
        server.switcher.reset();
        return;
    }
    close_and_go(server, entries[entry]);
}

}  // namespace ruk
