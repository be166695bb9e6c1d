// The status bar on the client's last row: an open prompt, a pending status
// message, the help or scrollback position, a lost machine, or else the
// window list of the viewed machine with its click areas.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "server/server.h"

namespace ruk {

// One window entry of the window list, in 0-based display columns.
struct StatusHit {
    int first = 0;
    int end = 0;  // exclusive
    MachineId machine = 0;
    WindowId window = 0;
    bool operator==(const StatusHit&) const = default;
};

struct StatusBar {
    std::string line;  // exactly as wide as the terminal, plus SGR
    std::vector<StatusHit> hits;  // empty unless the line is the window list
};

StatusBar build_status_bar(const Server& server);

// The window under a 0-based column of the status bar the client last got.
std::optional<View> status_window_at(const Server& server, int column);

}  // namespace ruk
