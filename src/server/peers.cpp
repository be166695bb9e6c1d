#include "server/peers.h"

#include "server/server.h"

namespace ruk {

// FIXME: peers are not served yet; nothing to publish to.
void publish_windows(Server&) {}

}  // namespace ruk

namespace ruk {

void forward_output_to_peers(Server&, WindowId, std::span<const uint8_t>) {}
void refresh_peers_viewing(Server&, WindowId) {}
bool has_peers(const Server&) { return false; }

}  // namespace ruk
