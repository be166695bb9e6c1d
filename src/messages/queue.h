// Messages for agents: queued per window and typed in once the agent is idle
// and nobody is typing there.
#pragma once

#include <optional>
#include <string>

#include "server/events.h"
#include "util/result.h"

namespace ruk {

struct Server;

// Queues a message for the agent in window `target` (and tries to deliver it
// at once). The reply text on success: "delivered to {}" or "queued for {} ({});
// it will be delivered when {} is idle"; a failure carries its message.
Result<std::string> queue_message(Server& server, WindowId target, const std::string& text,
                                  const std::optional<std::string>& sender);

}  // namespace ruk
