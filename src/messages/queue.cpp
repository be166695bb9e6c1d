#include "messages/queue.h"

namespace ruk {

// FIXME: messages are not queued yet.
Result<std::string> queue_message(Server&, WindowId, const std::string&, const std::optional<std::string>&) {
    return fail("'send' is not available in this build");
}

}  // namespace ruk
