// What the switcher lists: every window on every machine, and a "new shell"
// entry for a remote machine that has none. Rebuilt from the server whenever
// the switcher needs it, so it never shows a window that has gone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "agents/agent.h"
#include "server/view.h"

namespace ruk {

struct SwitcherEntry {
    ViewTarget target;  // a window, or (without one) a machine
    std::string name;   // the window's name or process; "new shell" for a machine
    // The machine's names: both the host name for this machine; the display
    // name and the host string for another. `host` is the one shown.
    std::string host, host_alt;
    int colour = 114;
    std::optional<uint32_t> number;  // none for a machine entry
    std::optional<Runtime> runtime;  // none when no agent runs in the window
    AgentState state = AgentState::Idle;
    bool done = false;         // never for the viewed window
    bool unreachable = false;  // its machine is not connected
    std::optional<std::string> project, branch;
    // Tie-breaker among equal scores: 0 the viewed window, then the view
    // history (the previous window is 2), then list order.
    size_t rank = 0;

    bool is_machine() const { return !target.window; }
};

// Local windows by number, then each remote machine's windows as it
// published them (or its machine entry), machines in the server's order.
std::vector<SwitcherEntry> switcher_entries(const Server& server);

}  // namespace ruk
