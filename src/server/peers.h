// Serving this server's windows to other servers that view them.
#pragma once

namespace ruk {

struct Server;

// Sends the local window list to every peer whose copy is out of date.
void publish_windows(Server& server);

}  // namespace ruk

#include <cstdint>
#include <span>

#include "server/events.h"

namespace ruk {

// Passes a window's raw output on to every peer that views it.
void forward_output_to_peers(Server& server, WindowId id, std::span<const uint8_t> bytes);
// Every peer that views the window gets a full screen of it (after a resize).
void refresh_peers_viewing(Server& server, WindowId id);
// True when some peer server is connected to this one.
bool has_peers(const Server& server);

}  // namespace ruk
