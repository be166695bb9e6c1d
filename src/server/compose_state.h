// What the attached client's terminal was last sent: the frame that the next
// one is diffed against. Rows are diffed against what the client last
// received, never against the window's previous state, so whatever the
// window did in between, the next frame heals the picture.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "screen/screen.h"
#include "server/server.h"
#include "ui/sidebar.h"
#include "ui/status_bar.h"

namespace ruk {

// What the pane shows. Switching between these redraws everything; the
// switcher and scrollback stay views of their window.
enum class PaneKind : uint8_t { Nothing, Window, Help };
struct PaneView {
    PaneKind kind = PaneKind::Nothing;
    MachineId machine = 0;
    WindowId window = 0;
    bool operator==(const PaneView&) const = default;
};

// The pane screen's input modes, mirrored on the client's terminal.
struct InputModes {
    bool application_keypad = false;
    bool application_cursor_keys = false;
    bool bracketed_paste = false;
    bool any_motion_mouse = false;
    bool operator==(const InputModes&) const = default;
};

struct FrameState {
    // False: the terminal's contents are unknown and the next frame redraws it.
    bool drawn = false;
    TermSize size;
    PaneView view;
    // The pane cells as sent; its cursor is the terminal cursor in pane
    // coordinates (clamped into the pane), hidden or not.
    ScreenImage pane;
    // The screen and generation the pane cells were read from: an unchanged
    // screen needs no row compared.
    const Screen* pane_screen = nullptr;
    uint64_t pane_generation = 0;
    std::vector<std::string> sidebar;
    std::string status;

    // Modes stay switched on the terminal across redraws, so they are
    // forgotten only with the client.
    bool mouse_reporting_sent = false;
    std::optional<InputModes> modes;

    // The click areas of what was drawn.
    std::vector<SidebarTarget> sidebar_targets;
    std::vector<StatusHit> status_hits;

    // Kept from frame to frame so that reading a row allocates nothing.
    std::vector<Cell> row_scratch;

    // The next frame redraws everything (a new size, or an unknown picture).
    void forget();
};

// The bytes that bring the client's terminal from `state` to the server's
// current picture, and `state` updated to it; empty when nothing changed.
std::string render_frame(Server& server, FrameState& state);

}  // namespace ruk
