#include "server/peers.h"

#include "server/server.h"

namespace ruk {

// FIXME: peers are not served yet; nothing to publish to.
void publish_windows(Server&) {}

}  // namespace ruk
