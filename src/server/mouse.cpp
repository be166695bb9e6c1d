// Mouse reports of the attached client. Terminal coordinates are 1-based;
// the pane starts after the sidebar (when there is one) on the first row, so
// a report for the program has its column shifted and its row kept.
#include "server/mouse.h"

#include <algorithm>

#include "picker/switcher.h"
#include "server/escapes.h"
#include "server/layout.h"
#include "server/server.h"
#include "server/view.h"
#include "ui/sidebar.h"
#include "ui/status_bar.h"

namespace ruk {

namespace {

constexpr size_t LONGEST_REPORT = 20;  // ESC [ < and three 16-bit numbers with their separators
constexpr int WHEEL_LINES = 3;

enum class Area { Sidebar, StatusBar, Pane };

Area area_of(const Server& server, const MouseEvent& event) {
    if (event.y >= server.size.rows) return Area::StatusBar;
    if (has_sidebar(server.size) && event.x <= SIDEBAR_COLS) return Area::Sidebar;
    return Area::Pane;
}

int pane_column(const Server& server, const MouseEvent& event) {
    return event.x - (has_sidebar(server.size) ? SIDEBAR_COLS : 0);
}

// A press of the left button; a drag (the motion bit) is not one.
bool is_left_press(const MouseEvent& event) {
    return !event.release && (event.button & ~mouse::MODIFIERS) == 0;
}

// +1 for a notch up (towards history), -1 down, 0 for anything else.
int wheel_direction(const MouseEvent& event) {
    if (event.release) return 0;
    switch (event.button & ~mouse::MODIFIERS) {
        case mouse::WHEEL_UP: return 1;
        case mouse::WHEEL_DOWN: return -1;
        default: return 0;
    }
}

bool mode_wants(MouseMode mode, const MouseEvent& event) {
    const bool motion = (event.button & mouse::MOTION) != 0;
    switch (mode) {
        case MouseMode::None: return false;
        case MouseMode::Press: return !event.release && !motion;
        case MouseMode::PressRelease: return !motion;
        case MouseMode::ButtonMotion: return !(motion && (event.button & 3) == 3);
        case MouseMode::AnyMotion: return true;
    }
    return false;
}

char classic_byte(int value) { return static_cast<char>(std::clamp(value + 32, 32, 255)); }

void pass_to_program(Server& server, const Screen& screen, const MouseEvent& event) {
    const std::string report =
        encode_mouse_report(event, pane_column(server, event), screen.mouse_mode(), screen.mouse_encoding());
    send_to_view(server, {reinterpret_cast<const uint8_t*>(report.data()), report.size()});
}

void pane_mouse(Server& server, const MouseEvent& event) {
    // A remote window's modes are those of the copy of its screen.
    const Screen* screen = viewed_screen(server);
    if (!screen) return;
    const int wheel = wheel_direction(event);
    if (wheel == 0 || (!scrollback_on_view(server) && screen->mouse_mode() != MouseMode::None)) {
        pass_to_program(server, *screen, event);
        return;
    }
    if (screen->alternate_screen()) {
        // A full-screen program that takes no mouse scrolls with its arrow keys.
        const std::string_view key = screen->application_cursor_keys() ? (wheel > 0 ? "\x1bOA" : "\x1bOB")
                                                                        : (wheel > 0 ? "\x1b[A" : "\x1b[B");
        std::string keys;
        for (int i = 0; i < WHEEL_LINES; ++i) keys += key;
        send_to_view(server, {reinterpret_cast<const uint8_t*>(keys.data()), keys.size()});
        return;
    }
    scroll_view(server, wheel * WHEEL_LINES, false);
}

}  // namespace

std::optional<MouseReport> parse_mouse_report(std::span<const uint8_t> bytes) {
    if (!starts_with(bytes, "\x1b[<")) return std::nullopt;
    size_t at = 3;
    uint32_t values[3] = {};
    bool release = false;
    for (int field = 0; field < 3; ++field) {
        const size_t start = at;
        uint32_t value = 0;
        while (at < bytes.size() && bytes[at] >= '0' && bytes[at] <= '9') {
            value = value * 10 + (bytes[at] - '0');
            if (value > 0xffff) return std::nullopt;
            ++at;
        }
        if (at == start || at >= bytes.size()) return std::nullopt;
        const uint8_t end = bytes[at++];
        if (field < 2 ? end != ';' : (end != 'M' && end != 'm')) return std::nullopt;
        release = end == 'm';
        values[field] = value;
    }
    return MouseReport{{static_cast<uint16_t>(values[0]), static_cast<int>(values[1]), static_cast<int>(values[2]), release},
                       at};
}

bool is_unfinished_mouse_report(std::span<const uint8_t> bytes) {
    if (!starts_with(bytes, "\x1b[<") || bytes.size() > LONGEST_REPORT) return false;
    int separators = 0;
    for (size_t i = 3; i < bytes.size(); ++i) {
        if (bytes[i] == ';') {
            if (++separators > 2) return false;
        } else if (bytes[i] < '0' || bytes[i] > '9') {
            return false;
        }
    }
    return true;
}

std::string encode_mouse_report(const MouseEvent& event, int column, MouseMode mode, MouseEncoding encoding) {
    if (!mode_wants(mode, event)) return {};
    column = std::max(column, 1);
    const int row = std::max(event.y, 1);
    if (encoding == MouseEncoding::Sgr)
        return "\x1b[<" + std::to_string(event.button) + ";" + std::to_string(column) + ";" + std::to_string(row) +
               (event.release ? "m" : "M");
    std::string report = "\x1b[M";
    report += classic_byte(event.release ? 3 : event.button);
    report += classic_byte(column);
    report += classic_byte(row);
    return report;
}

void handle_mouse(Server& server, const MouseEvent& event) {
    const Area area = area_of(server, event);
    const bool press = is_left_press(event);
    const int wheel = wheel_direction(event);

    if (server.switcher) {
        if (wheel != 0) {
            switcher_move(server, -wheel);
            return;
        }
        if (!press) return;
        if (area == Area::Pane) {
            const int x = pane_column(server, event) - 1, y = event.y - 1;
            if (!switcher_box_contains(server, x, y)) {
                server.switcher.reset();
            } else if (auto entry = switcher_entry_at(server, x, y)) {
                switcher_choose_at(server, *entry);
            }
            return;
        }
        server.switcher.reset();  // and the click goes on to the sidebar or status bar
    }

    if (server.help.open) {
        if (wheel != 0) {
            scroll_help(server, wheel * WHEEL_LINES);
            return;
        }
        if (!press) return;
        server.help.open = false;
        if (area == Area::Pane) return;
    }

    switch (area) {
        case Area::StatusBar:
            if (press) {
                if (auto hit = status_window_at(server, event.x - 1)) switch_view(server, *hit);
            }
            return;
        case Area::Sidebar:
            if (press) {
                if (auto target = sidebar_target_at(server, event.y - 1)) {
                    if (target->kind == SidebarTarget::Kind::ToWindow)
                        go_to_target(server, ViewTarget{target->machine, target->window});
                    else if (target->kind == SidebarTarget::Kind::ToMachine)
                        go_to_target(server, ViewTarget{target->machine, std::nullopt});
                }
            }
            return;
        case Area::Pane:
            if (server.view) pane_mouse(server, event);
            return;
    }
}

}  // namespace ruk
