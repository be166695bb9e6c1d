// The attached client's picture: pane, sidebar and status bar, sent as the
// rows that changed since the last frame.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace ruk {

struct Server;

// The next frame's bytes, or nothing when nothing changed.
std::optional<std::vector<uint8_t>> render_client(Server& server);
// The next frame redraws everything.
void forget_previous_frame(Server& server);

}  // namespace ruk
