// The window switcher: a box over the pane in which the user types a few
// words and picks any window on any machine. Its state is Server::switcher;
// the keys and clicks that drive it are read by the key handling.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace ruk {

struct Server;

// The escape sequences that draw the open switcher's box over a copy of the
// pane, the cursor placed after the query; nothing when it is closed.
std::optional<std::string> switcher_overlay(Server& server);

// After the query changed: the best match is selected and the list scrolled
// to its top.
void switcher_refresh_selection(Server& server);

// Moves the selection by `delta` matching entries, wrapping around.
void switcher_move(Server& server, int delta);

// Closes the switcher and goes to the selected entry (only closes when
// nothing matches).
void switcher_choose(Server& server);

// Clicks, in pane coordinates from 0: whether the box covers the position,
// and the entry (an index into switcher_entries) that a click there chooses.
bool switcher_box_contains(const Server& server, int x, int y);
std::optional<size_t> switcher_entry_at(const Server& server, int x, int y);

// Closes the switcher and goes to the entry that switcher_entry_at gave.
void switcher_choose_at(Server& server, size_t entry);

}  // namespace ruk
