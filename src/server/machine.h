// Another machine whose windows this server shows, reached over ssh. Its
// window list is a copy of what its server last published; numbers, names
// and ids there are that server's business. A machine keeps its list and the
// picture of the viewed window while its link is down, so the user still sees
// what was there (marked unreachable) until it comes back.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "protocol/peer.h"
#include "screen/screen.h"
#include "server/events.h"
#include "server/link.h"
#include "util/fd.h"

namespace ruk {

// The local copy of the one window of a machine that the client views. It is
// set up empty when the view starts or the pane changes size, and becomes
// ready with the first full screen that the machine sends.
struct RemoteScreen {
    Screen screen{1, 1, Screen::DEFAULT_SCROLLBACK, Screen::Kind::Remote};
    bool ready = false;
    WindowId window = 0;
};

inline constexpr uint64_t RETRY_NEVER = std::numeric_limits<uint64_t>::max();
inline constexpr uint64_t FIRST_RETRY_DELAY = 2;  // ticks
inline constexpr uint64_t MAX_RETRY_DELAY = 120;  // ticks: one minute

struct Machine {
    MachineId id = 0;
    std::string host;               // as given to connect, maybe with a user part
    std::string command = "ruk";    // how to run ruk there
    uint8_t colour = 0;
    bool connected = false;         // welcomed over the live link
    std::optional<std::string> status;  // shown instead of its agents: "connecting…", the last failure
    std::vector<std::string> features;
    uint64_t build = 0;             // from the welcome; 0 until one arrived
    std::string release;            // its release, "0.1.4"; empty: it reported none
    std::vector<protocol::WindowInfo> windows;  // in number order, as published
    // Windows whose agent went from working to idle while the user looked
    // elsewhere; viewing one clears its mark.
    std::set<WindowId> done;

    std::unique_ptr<RemoteLink> link;  // none while disconnected
    uint64_t link_id = 0;              // of the link held now, or last
    std::optional<std::string> pending_reason;  // why the far server said it stops
    bool follow_next_created = false;  // the next unrequested new window becomes the view

    std::optional<RemoteScreen> screen;
    // The view last asked of the machine.
    WindowId view_window = 0;
    uint16_t view_rows = 0, view_cols = 0;

    uint64_t next_retry = 0;  // tick; RETRY_NEVER once parked
    uint64_t retry_delay = FIRST_RETRY_DELAY;
};

// A `new --on HOST` that waits for the machine's answer.
struct PendingRemoteRequest {
    uint64_t id = 0;
    MachineId machine = 0;
    uint64_t deadline = 0;  // tick
    Fd requester;           // the command connection that gets the reply
};

}  // namespace ruk
