#include "picker/switcher.h"

#include "server/server.h"

namespace ruk {

// FIXME: the switcher is not drawn yet.
std::optional<std::string> switcher_overlay(Server&) { return std::nullopt; }

// FIXME: the switcher's entries, matching and selection are not built yet.
void switcher_refresh_selection(Server& server) {
    if (!server.switcher) return;
    server.switcher->selected = 0;
    server.switcher->scroll = 0;
}

// FIXME: needs the list of matching entries to wrap around.
void switcher_move(Server&, int) {}

// FIXME: needs the entries to find the selected one's target.
void switcher_choose(Server& server) { server.switcher.reset(); }

// FIXME: needs the box geometry.
bool switcher_box_contains(const Server&, int, int) { return false; }

// FIXME: needs the box geometry and the list rows.
std::optional<size_t> switcher_entry_at(const Server&, int, int) { return std::nullopt; }

// FIXME: needs the entries to find the target.
void switcher_choose_at(Server& server, size_t) { server.switcher.reset(); }

}  // namespace ruk
