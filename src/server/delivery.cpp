// Typing queued messages into agents. A window gets its whole queue at once,
// as one paste, when its agent is idle, nobody typed there for three seconds
// and its last delivery is two seconds old. The paste and the Enter after it
// go through the window's input writer, which keeps them in order and never
// holds up the loop; the Enter is simply queued 150 ms behind the paste, which
// takes the place of a second writer on a duplicated descriptor.
#include <chrono>

#include "messages/queue.h"
#include "server/server.h"
#include "server/tick.h"
#include "server/window.h"

namespace ruk {

void deliver_pending(Server& server) {
    const auto now = std::chrono::steady_clock::now();
    for (auto& window : server.windows) {
        if (window->queue.empty() || !window->agent || window->agent->state != AgentState::Idle) continue;
        if (server.tick < window->next_delivery_tick) continue;
        if (window->last_input_at && now - *window->last_input_at < TYPING_GUARD) continue;
        // A window without a terminal cannot be written to: its messages wait.
        if (!window->process) continue;

        window->process->write(paste_bytes(frame_messages(window->queue), window->screen.bracketed_paste()));
        window->process->write({'\r'}, ENTER_DELAY);
        window->queue.clear();
        window->next_delivery_tick = server.tick + DELIVERY_SPACING_TICKS;
    }
}

}  // namespace ruk
