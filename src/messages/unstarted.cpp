// Messages for an agent that `new` started and that never showed up: they
// would wait for ever, so they are dropped, and the user is told.
#include "messages/queue.h"
#include "server/local_windows.h"
#include "server/status.h"
#include "server/window.h"

namespace ruk {

void drop_messages_of_unstarted_agent(Server& server, Window& window) {
    if (window.queue.empty()) return;
    const size_t dropped = window.queue.size();
    window.queue.clear();
    const std::string label = window.name ? *window.name : process_display_name(window);
    set_status_message(server, label + ": agent didn't start; dropped " + std::to_string(dropped) + " message(s)");
}

}  // namespace ruk
