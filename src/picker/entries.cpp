// The switcher's entries, read from the local windows and the window lists
// that other machines published. Every text from outside passes through
// sanitize_text: the switcher writes them straight into the pane.
#include "picker/entries.h"

#include <algorithm>

#include "location/location.h"
#include "server/local_windows.h"
#include "server/registry.h"
#include "server/window.h"
#include "server/layout.h"
#include "util/sanitize.h"

namespace ruk {

namespace {

constexpr size_t OTHER_WINDOW_RANK = 1000;
constexpr size_t MACHINE_RANK = 2000;

// The kinds other machines publish; anything else is the generic agent.
Runtime runtime_of_kind(std::string_view kind) {
    for (Runtime r : {Runtime::Claude, Runtime::Codex, Runtime::Opencode, Runtime::Pi, Runtime::Grok})
        if (runtime_name(r) == kind) return r;
    return Runtime::Other;
}

AgentState state_of_text(std::string_view state) {
    if (state == "working") return AgentState::Working;
    if (state == "needs_input") return AgentState::NeedsInput;
    return AgentState::Idle;
}

void set_location(SwitcherEntry& entry, const std::optional<protocol::Location>& location) {
    if (!location) return;
    entry.project = sanitize_text(project_name(location->root));
    if (location->branch) entry.branch = sanitize_text(*location->branch);
}

SwitcherEntry local_entry(const Server& server, const Window& window, const std::string& host) {
    SwitcherEntry e;
    e.target = {0, window.id};
    // Looking up what runs in the window only refreshes its cache.
    e.name = window.name ? *window.name : process_display_name(const_cast<Window&>(window));
    e.host = e.host_alt = host;
    e.colour = LOCAL_COLOUR;
    e.number = window.number;
    if (window.agent) {
        e.runtime = window.agent->runtime;
        e.state = window.agent->state;
        e.done = window.agent->done && server.view != View{0, window.id};
        set_location(e, window.agent->location);
    }
    return e;
}

SwitcherEntry remote_entry(const Machine& machine, const protocol::WindowInfo& info, const std::string& host,
                           const std::string& host_alt) {
    SwitcherEntry e;
    e.target = {machine.id, info.id};
    e.name = sanitize_text(info.name ? *info.name : info.process);
    e.host = host;
    e.host_alt = host_alt;
    e.colour = machine.colour;
    e.number = info.index;
    e.unreachable = !machine.connected;
    if (info.agent) {
        e.runtime = runtime_of_kind(info.agent->kind);
        e.state = state_of_text(info.agent->state);
        e.done = machine.done.contains(info.id);
        set_location(e, info.agent->location);
    }
    return e;
}

}  // namespace

std::vector<SwitcherEntry> switcher_entries(const Server& server) {
    std::vector<SwitcherEntry> entries;
    const std::string local_host = sanitize_text(server.host_name);
    for (const auto& window : server.windows) entries.push_back(local_entry(server, *window, local_host));

    for (const Machine& machine : server.machines) {
        const std::string host = sanitize_text(machine_display_name(server, machine.id));
        const std::string host_alt = sanitize_text(machine.host);
        if (machine.windows.empty()) {
            SwitcherEntry e;
            e.target = {machine.id, std::nullopt};
            e.name = "new shell";
            e.host = host;
            e.host_alt = host_alt;
            e.colour = machine.colour;
            e.unreachable = !machine.connected;
            entries.push_back(std::move(e));
            continue;
        }
        for (const auto& info : machine.windows) entries.push_back(remote_entry(machine, info, host, host_alt));
    }

    for (size_t i = 0; i < entries.size(); ++i) {
        SwitcherEntry& e = entries[i];
        if (e.is_machine()) {
            e.rank = MACHINE_RANK + i;
            continue;
        }
        const View view{e.target.machine, *e.target.window};
        const auto& history = server.view_history;
        const auto seen = std::find(history.begin(), history.end(), view);
        if (server.view == view) e.rank = 0;
        else if (seen != history.end()) e.rank = size_t(seen - history.begin()) + 1;
        else e.rank = OTHER_WINDOW_RANK + i;
    }
    return entries;
}

}  // namespace ruk
