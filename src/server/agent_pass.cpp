// The agent pass of every tick: for each local window, which agent runs in
// it, what its screen says it is doing, and which project it works in.
//
// A window keeps its agent record while the same process runs (same pid and
// start time), so the state's debounce and the done flag carry from tick to
// tick; a new process is a new agent and starts afresh.
#include "agents/detect.h"
#include "agents/state.h"
#include "location/location.h"
#include "messages/queue.h"
#include "server/local_windows.h"
#include "server/server.h"
#include "server/tick.h"
#include "server/window.h"

namespace ruk {
namespace {

// The user has the window in front of them: attached, focused, viewing it.
// Work that ends in a window left on view while detached or in the background
// was not seen, so it counts as done; the next tick in front of the user
// clears that again.
bool viewed(const Server& server, const Window& window) {
    return server.client && server.focused && server.view == View{0, window.id};
}

void refresh_window(Server& server, Window& window, const ProcessTree& tree, const ProcessProbe& probe) {
    const pid_t root = window.pid();
    std::optional<DetectedAgent> found;
    if (root > 0) found = detect_agent(tree, root, foreground_process(window), probe);

    if (!found) {
        window.agent.reset();
        if (window.started_as_agent && window.agent_start_deadline && server.tick >= *window.agent_start_deadline) {
            drop_messages_of_unstarted_agent(server, window);
            window.started_as_agent = false;
            window.agent_start_deadline.reset();
        }
        return;
    }

    // The agent has started: the start deadline no longer applies.
    window.started_as_agent = false;
    window.agent_start_deadline.reset();

    const uint64_t start_time = sys::process_start_time(found->pid).value_or(0);
    const AgentState reading = screen_state(window.screen);
    std::optional<protocol::Location> location;
    // Not cached: a stat or two and one small file (about 12 us), and a
    // branch switch or a cd shows at the next tick.
    if (found->cwd) location = project_location(*found->cwd);

    if (!window.agent || window.agent->pid != found->pid || window.agent->start_time != start_time) {
        window.agent = Agent{
            .runtime = found->kind,
            .pid = found->pid,
            .start_time = start_time,
            .state = reading,
            .done = false,
            .idle_ticks = 0,
            .cwd = std::move(found->cwd),
            .location = std::move(location),
        };
        return;
    }
    Agent& agent = *window.agent;
    update_agent_state(agent, reading, viewed(server, window));
    agent.runtime = found->kind;
    agent.cwd = std::move(found->cwd);
    agent.location = std::move(location);
}

}  // namespace

void refresh_agents(Server& server) {
    if (server.windows.empty()) return;
    const ProcessTree tree = build_process_tree();
    const ProcessProbe probe;
    for (auto& window : server.windows) refresh_window(server, *window, tree, probe);
}

}  // namespace ruk
