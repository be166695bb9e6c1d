// What the attached client looks at: switching the viewed window, going to
// a window or a machine, typing into the viewed window, and scrolling its
// history. Navigation keys of the help and scrollback views are read here too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "server/server.h"

namespace ruk {

class Screen;

// Shows that window: a local one takes the pane size, loses its done mark,
// and the view history puts it first. A window or machine that does not exist
// leaves the view as it was.
void switch_view(Server& server, MachineId machine, WindowId window);
inline void switch_view(Server& server, View view) { switch_view(server, view.machine, view.window); }
// Shows nothing (the last window went and no machine shows one).
void clear_view(Server& server);

// A window, or (without a window) a machine: its first window, or a new one.
struct ViewTarget {
    MachineId machine = 0;
    std::optional<WindowId> window;
    bool operator==(const ViewTarget&) const = default;
};
void go_to_target(Server& server, const ViewTarget& target);

// A new window on the machine: locally a shell in the directory of what runs
// in the viewed window, which the view switches to; on another machine a
// request to its server, or "{} is offline" as the status message.
void open_window_on(Server& server, MachineId machine);

// Types the bytes into the viewed window (dropped without a view).
void send_to_view(Server& server, std::span<const uint8_t> bytes);

// The screen of the viewed window, when this server holds one.
const Screen* viewed_screen(const Server& server);
// Whether the scrollback view belongs to the viewed window.
bool scrollback_on_view(const Server& server);

// The offset of the scrollback view on the viewed window (0 when there is
// none). Output that arrives while scrolled back raises the screen's offset
// so that the same lines stay in view; this follows it.
size_t viewed_scrollback_offset(const Server& server);

// Scrolls the viewed window's history by `delta` lines (positive is back).
// Offset 0 ends the scrollback view, unless `delta` is 0 and `keep` is set:
// that enters it at the live screen.
void scroll_view(Server& server, int64_t delta, bool keep);
// Leaves the scrollback view.
void end_scrollback(Server& server);
// Half the pane height, at least one line: the unit of page keys.
int half_page(const Server& server);

// The help view's first shown line moves `lines` towards the top (negative:
// towards the end), within 0 and the offset that shows the last page.
void scroll_help(Server& server, int64_t lines);
size_t help_max_offset(const Server& server);

// One key of the help and scrollback views. Lines and Pages carry a count:
// positive is towards the top (back into history); Pages counts half pages.
enum class NavKind { Lines, Pages, Top, Bottom, Leave, Other };
struct NavKey {
    NavKind kind = NavKind::Other;
    int count = 0;
    size_t used = 1;  // input bytes the key took
    bool operator==(const NavKey&) const = default;
};
NavKey read_nav_key(std::span<const uint8_t> bytes);

}  // namespace ruk
