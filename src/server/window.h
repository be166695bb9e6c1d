// A local window: one program in a pseudo terminal, its screen, and what the
// server knows of the agent in it. Dropping it hangs up the terminal (which
// ends the programs in it) and stops its threads, without blocking.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agents/agent.h"
#include "messages/message.h"
#include "screen/screen.h"
#include "server/events.h"
#include "server/window_process.h"

namespace ruk {

struct ForegroundCache {
    std::chrono::steady_clock::time_point at;
    pid_t pid = 0;
    std::string name;  // what the status bar and sidebar show for it, looked up with it
};

struct Window {
    WindowId id = 0;
    uint32_t number = 0;
    std::optional<std::string> name;
    bool name_is_default = false;
    bool started_as_agent = false;
    std::optional<uint64_t> agent_start_deadline;  // tick

    std::optional<Agent> agent;

    std::optional<std::chrono::steady_clock::time_point> last_input_at;
    std::optional<ForegroundCache> foreground_cache;

    // Messages for the agent, oldest first, typed in together once it is idle.
    std::vector<QueuedMessage> queue;
    uint64_t next_delivery_tick = 0;  // no delivery before this tick

    // Declared last: dropped first, so the terminal is hung up before the
    // screen and the rest go.
    Screen screen{24, 80};
    std::unique_ptr<WindowProcess> process;

    pid_t pid() const { return process ? process->pid() : 0; }
};

}  // namespace ruk
