// Another server that shows this server's windows, through the bridge on this
// machine. It became a peer with a hello of our protocol version.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "protocol/outbound_queue.h"
#include "server/events.h"

namespace ruk {

struct PeerConnection {
    ConnId conn = 0;
    std::unique_ptr<protocol::OutboundQueue> queue;
    std::optional<WindowId> viewed;  // the one window whose output it receives
    uint16_t rows = 24, cols = 80;   // its pane for that window
    // The window list last queued for it: an unchanged list is not sent again.
    std::optional<std::string> last_windows;
};

}  // namespace ruk
