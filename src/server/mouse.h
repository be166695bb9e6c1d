// The client's mouse: the terminal always reports buttons, drags and the
// wheel in SGR form. Clicks in the sidebar and status bar switch windows, the
// open switcher and help take their share, and the rest goes to the program
// in the pane, in the form and amount the program asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "screen/screen.h"

namespace ruk {

struct Server;

namespace mouse {
// Bits of MouseEvent::button besides the button number in the low two bits.
constexpr uint16_t SHIFT = 4, META = 8, CONTROL = 16, MOTION = 32, WHEEL = 64;
constexpr uint16_t MODIFIERS = SHIFT | META | CONTROL;
constexpr uint16_t WHEEL_UP = 64, WHEEL_DOWN = 65;
}  // namespace mouse

struct MouseEvent {
    uint16_t button = 0;
    int x = 1, y = 1;  // 1-based terminal column and row
    bool release = false;
    bool operator==(const MouseEvent&) const = default;
};

struct MouseReport {
    MouseEvent event;
    size_t used = 0;  // bytes of input
};

// An SGR report ESC [ < b ; x ; y M (or m, a release) at the front of
// `bytes`. Numbers beyond 16 bits make it no report.
std::optional<MouseReport> parse_mouse_report(std::span<const uint8_t> bytes);
// Whether `bytes` is the beginning of such a report that the end of the
// input cut short (from ESC [ < on).
bool is_unfinished_mouse_report(std::span<const uint8_t> bytes);

// The report in the program's encoding, with the column already in the pane;
// empty when its mouse mode does not want this event.
std::string encode_mouse_report(const MouseEvent& event, int column, MouseMode mode, MouseEncoding encoding);

void handle_mouse(Server& server, const MouseEvent& event);

}  // namespace ruk
