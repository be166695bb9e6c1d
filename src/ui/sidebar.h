// The sidebar: every agent on every machine, grouped by machine and project,
// and the click targets of its lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agents/agent.h"
#include "server/events.h"

namespace ruk {

struct Server;

inline constexpr int SIDEBAR_WIDTH = 24;

struct SidebarAgent {
    std::string name;  // the window's name, or the runtime's
    std::optional<std::string> project_root;
    std::optional<std::string> branch;
    MachineId machine = 0;
    WindowId window_id = 0;
    uint32_t number = 0;
    uint64_t overdue_messages = 0;  // queued messages, once the oldest waited 120 s
    AgentState state = AgentState::Idle;
    bool done = false;
    bool unreachable = false;
    bool current = false;  // the client views this window
    Runtime runtime = Runtime::Other;
};

struct SidebarTarget {
    enum class Kind { None, ToWindow, ToMachine };
    Kind kind = Kind::None;
    MachineId machine = 0;
    WindowId window = 0;
    bool operator==(const SidebarTarget&) const = default;
};

// What an agent shows, first match wins: unreachable, needs input, working,
// done (only while nobody views it), idle.
enum class DisplayState { Unreachable, NeedsInput, Working, Done, Idle };
DisplayState display_state(const SidebarAgent& agent);

struct StateLook {
    std::string_view label;  // "needs input", ...
    int colour = 0;          // 256-colour palette index
    std::string_view mark;   // a spinner frame for a working agent
};
// The spinner turns once per tick.
StateLook state_look(DisplayState state, uint64_t tick);
// The colour of an agent's name; none for an agent of another kind.
std::optional<int> runtime_colour(Runtime runtime);

// Every agent, local then remote, in sidebar order: machines in order, project
// groups by their first agent, agents by window number within a group.
std::vector<SidebarAgent> sidebar_agents(const Server& server);

struct Sidebar {
    std::vector<std::string> lines;  // each exactly `width` display columns plus SGR
    std::vector<SidebarTarget> targets;
};
Sidebar build_sidebar(const Server& server, int width, int height);

// The target of a terminal row (0-based) in the sidebar last built for the client.
std::optional<SidebarTarget> sidebar_target_at(const Server& server, int row);

}  // namespace ruk
