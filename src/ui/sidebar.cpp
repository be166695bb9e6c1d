// The sidebar is rebuilt from the server's state for every frame; the
// composer sends it only when a line changed. Every line is exactly the
// sidebar's width in display columns, so a line never leaves parts of an
// older one behind.
#include "ui/sidebar.h"

#include "messages/queue.h"

#include <algorithm>
#include <map>

#include "server/compose_state.h"
#include "server/layout.h"
#include "server/registry.h"
#include "server/window.h"
#include "util/sanitize.h"
#include "util/width.h"

namespace ruk {

namespace {


constexpr std::string_view SPINNER[10] = {"⠋", "⠙", "⠹", "⠸", "⠼", "⠴", "⠦", "⠧", "⠇", "⠏"};

struct RuntimeLook {
    Runtime runtime;
    std::string_view kind;  // as other machines publish it
    int colour;             // 0: none
};
constexpr RuntimeLook RUNTIMES[] = {
    {Runtime::Claude, "claude", 209}, {Runtime::Codex, "codex", 117}, {Runtime::Opencode, "opencode", 250},
    {Runtime::Pi, "pi", 141},         {Runtime::Grok, "grok", 255},   {Runtime::Other, "other", 0},
};

Runtime runtime_from_kind(std::string_view kind) {
    for (const auto& r : RUNTIMES)
        if (r.kind == kind) return r.runtime;
    return Runtime::Other;
}

AgentState state_from_text(std::string_view state) {
    if (state == "working") return AgentState::Working;
    if (state == "needs_input") return AgentState::NeedsInput;
    return AgentState::Idle;
}

// A project root split into its components, so that "/a/b/", "/a//b" and
// "/a/./b" are one project, and a root from a machine that writes "\" is
// understood as well.
struct RootPath {
    bool absolute = false;
    std::vector<std::string> parts;

    std::string key() const {
        std::string out = absolute ? "/" : "";
        for (size_t i = 0; i < parts.size(); ++i) {
            if (i > 0) out += '/';
            out += parts[i];
        }
        return out;
    }
};

RootPath split_root(std::string_view root) {
    RootPath path;
    path.absolute = !root.empty() && (root.front() == '/' || root.front() == '\\');
    size_t i = 0;
    while (i <= root.size()) {
        size_t end = root.find_first_of("/\\", i);
        if (end == std::string_view::npos) end = root.size();
        std::string_view part = root.substr(i, end - i);
        if (!part.empty() && part != ".") path.parts.emplace_back(part);
        i = end + 1;
    }
    return path;
}

std::string last_component(const RootPath& path) { return path.parts.empty() ? path.key() : path.parts.back(); }

std::string parent_and_last(const RootPath& path) {
    if (path.parts.size() < 2) {
        std::string out = path.absolute ? "/" : "";
        out += last_component(path);
        return out;
    }
    return path.parts[path.parts.size() - 2] + "/" + path.parts.back();
}

struct Group {
    std::optional<RootPath> root;
    std::string title;
    std::vector<SidebarAgent> agents;
};

struct MachineAgents {
    MachineId id = 0;
    std::string name;
    int colour = LOCAL_COLOUR;
    std::optional<std::string> status;  // present while not connected
    std::vector<Group> groups;
    size_t count = 0;
};

SidebarAgent local_agent(const Server& server, const Window& window) {
    const Agent& agent = *window.agent;
    SidebarAgent a;
    a.name = window.name ? *window.name : std::string(runtime_name(agent.runtime));
    if (agent.location) {
        a.project_root = sanitize_text(agent.location->root);
        if (agent.location->branch) a.branch = sanitize_text(*agent.location->branch);
    }
    a.machine = 0;
    a.window_id = window.id;
    a.number = window.number;
    a.overdue_messages = overdue_messages(window);
    a.state = agent.state;
    a.done = agent.done;
    a.current = server.view == View{0, window.id};
    a.runtime = agent.runtime;
    return a;
}

SidebarAgent remote_agent(const Server& server, const Machine& machine, const protocol::WindowInfo& info) {
    const protocol::AgentInfo& agent = *info.agent;
    SidebarAgent a;
    a.runtime = runtime_from_kind(agent.kind);
    a.name = info.name ? sanitize_text(*info.name) : std::string(runtime_name(a.runtime));
    if (agent.location) {
        a.project_root = sanitize_text(agent.location->root);
        if (agent.location->branch) a.branch = sanitize_text(*agent.location->branch);
    }
    a.machine = machine.id;
    a.window_id = info.id;
    a.number = info.index;
    a.overdue_messages = agent.overdue ? agent.queued : 0;
    a.state = state_from_text(agent.state);
    a.done = machine.done.contains(info.id);
    a.unreachable = !machine.connected;
    a.current = server.view == View{machine.id, info.id};
    return a;
}

// Agents of one machine into project groups, ordered by their first agent.
void add_to_groups(std::vector<Group>& groups, SidebarAgent agent) {
    std::optional<RootPath> root;
    if (agent.project_root) root = split_root(*agent.project_root);
    auto it = std::find_if(groups.begin(), groups.end(), [&](const Group& g) {
        if (!g.root || !root) return !g.root && !root;
        return g.root->key() == root->key();
    });
    if (it == groups.end()) {
        groups.push_back(Group{root, root ? last_component(*root) : "?", {}});
        it = groups.end() - 1;
    }
    it->agents.push_back(std::move(agent));
}

std::vector<MachineAgents> collect(const Server& server) {
    std::vector<MachineAgents> machines;
    MachineAgents local;
    local.id = 0;
    local.name = server.host_name;
    for (const auto& window : server.windows) {
        if (!window->agent) continue;
        add_to_groups(local.groups, local_agent(server, *window));
        ++local.count;
    }
    machines.push_back(std::move(local));

    for (const Machine& machine : server.machines) {
        MachineAgents m;
        m.id = machine.id;
        m.name = machine_display_name(server, machine.id);
        m.colour = machine.colour;
        if (!machine.connected) m.status = machine.status.value_or("offline");
        for (const auto& info : machine.windows) {
            if (!info.agent) continue;
            add_to_groups(m.groups, remote_agent(server, machine, info));
            ++m.count;
        }
        machines.push_back(std::move(m));
    }

    // Groups that would share a title are told apart by their parent
    // directory, across machines too.
    std::map<std::string, int> uses;
    for (const auto& m : machines)
        for (const auto& g : m.groups) ++uses[g.title];
    for (auto& m : machines)
        for (auto& g : m.groups)
            if (g.root && uses[g.title] > 1) g.title = parent_and_last(*g.root);
    return machines;
}

std::string sgr_colour(int colour) { return "\x1b[38;5;" + std::to_string(colour) + "m"; }

struct Lines {
    int width;
    Sidebar out;

    void add(std::string line, SidebarTarget target = {}) {
        out.lines.push_back(std::move(line));
        out.targets.push_back(target);
    }
    void spacer() { add(std::string(size_t(width), ' ')); }
    void placeholder(std::string_view text) {
        add("\x1b[2m" + fit_columns("   " + std::string(text), width) + "\x1b[0m");
    }
    void machine_header(const MachineAgents& m) {
        std::string name = shorten_keep_start(m.name, width - 5);
        int rule = std::max(0, width - 5 - display_width(name));
        std::string colour = m.status ? "\x1b[2m" : "\x1b[1;38;5;" + std::to_string(m.colour) + "m";
        std::string line = colour + " ── " + name + " ";
        for (int i = 0; i < rule; ++i) line += "─";
        line += "\x1b[0m";
        add(std::move(line), {SidebarTarget::Kind::ToMachine, m.id, 0});
    }
    void project_header(const Group& g) {
        std::string count = std::to_string(g.agents.size());
        const int cw = int(count.size());
        std::string title = shorten_keep_end(g.title, width - cw - 3);
        int fill = std::max(0, width - (display_width(title) + cw + 2));
        const SidebarAgent& first = g.agents.front();
        add("\x1b[1;38;5;252m " + title + "\x1b[22m" + std::string(size_t(fill), ' ') + "\x1b[2m" + count + " \x1b[0m",
            {SidebarTarget::Kind::ToWindow, first.machine, first.window_id});
    }
    void agent_row(const SidebarAgent& a, uint64_t tick) {
        const StateLook look = state_look(display_state(a), tick);
        const SidebarTarget target{SidebarTarget::Kind::ToWindow, a.machine, a.window_id};
        const std::string background = a.current ? "\x1b[48;5;237m" : "";
        const std::string state_colour = sgr_colour(look.colour);

        std::string tag = "#";
        tag += std::to_string(a.number);
        tag += ' ';
        if (a.overdue_messages > 0) tag = "✉" + std::to_string(a.overdue_messages) + " " + tag;
        // Absurdly large numbers still leave the row its width.
        if (display_width(tag) > width - 3) tag = shorten_keep_end(tag, width - 3);
        const int tw = display_width(tag);
        std::string name = shorten_keep_end(a.name, width - tw - 4);
        int fill = std::max(0, width - tw - display_width(name) - 3);
        auto rc = runtime_colour(a.runtime);
        add(background + " " + state_colour + std::string(look.mark) + "\x1b[39m " + (rc ? sgr_colour(*rc) : "") +
                "\x1b[1m" + name + "\x1b[22;39m" + std::string(size_t(fill), ' ') + "\x1b[2m" + tag + "\x1b[22m\x1b[0m",
            target);

        const int lw = display_width(look.label);
        const int branch_cols = width - lw - 6;
        std::string second = background + state_colour;
        if (a.project_root && a.branch && branch_cols >= 4) {
            second += "   " + std::string(look.label) + "\x1b[39;2m · " +
                      pad_columns(shorten_keep_end(*a.branch, branch_cols), branch_cols);
        } else {
            second += fit_columns("   " + std::string(look.label), width);
        }
        add(second + "\x1b[0m", target);
    }
};

}  // namespace

DisplayState display_state(const SidebarAgent& agent) {
    if (agent.unreachable) return DisplayState::Unreachable;
    if (agent.state == AgentState::NeedsInput) return DisplayState::NeedsInput;
    if (agent.state == AgentState::Working) return DisplayState::Working;
    if (agent.done && !agent.current) return DisplayState::Done;
    return DisplayState::Idle;
}

StateLook state_look(DisplayState state, uint64_t tick) {
    switch (state) {
    case DisplayState::Unreachable: return {"unreachable", 240, "○"};
    case DisplayState::NeedsInput: return {"needs input", 203, "●"};
    case DisplayState::Working: return {"working", 220, SPINNER[tick % 10]};
    case DisplayState::Done: return {"done", 114, "✓"};
    case DisplayState::Idle: break;
    }
    return {"idle", 245, "○"};
}

std::optional<int> runtime_colour(Runtime runtime) {
    for (const auto& r : RUNTIMES)
        if (r.runtime == runtime && r.colour != 0) return r.colour;
    return std::nullopt;
}

std::vector<SidebarAgent> sidebar_agents(const Server& server) {
    std::vector<SidebarAgent> out;
    for (auto& m : collect(server))
        for (auto& g : m.groups)
            for (auto& a : g.agents) out.push_back(std::move(a));
    return out;
}

Sidebar build_sidebar(const Server& server, int width, int height) {
    const auto machines = collect(server);
    size_t n = 0;
    for (const auto& m : machines) n += m.count;

    Lines lines{width, {}};
    lines.add("\x1b[1m" + fit_columns(" AGENTS (" + std::to_string(n) + ")", width) + "\x1b[0m");
    if (n == 0 && machines.size() == 1) {
        lines.spacer();
        lines.placeholder("none running");
    } else {
        const bool several = machines.size() >= 2;
        for (const auto& m : machines) {
            bool after_agent = false;
            if (several) {
                lines.spacer();
                lines.machine_header(m);
                if (m.status) lines.placeholder(*m.status);
                else if (m.count == 0) lines.placeholder("no agents");
            }
            for (const auto& g : m.groups) {
                if (!several || after_agent) lines.spacer();
                lines.project_header(g);
                for (const auto& a : g.agents) lines.agent_row(a, server.tick);
                after_agent = true;
            }
        }
    }

    Sidebar& out = lines.out;
    const size_t rows = size_t(std::max(height, 0));
    out.lines.resize(std::min(out.lines.size(), rows));
    out.targets.resize(out.lines.size());
    while (out.lines.size() < rows) lines.spacer();
    return out;
}

std::optional<SidebarTarget> sidebar_target_at(const Server& server, int row) {
    if (row < 0 || !has_sidebar(server.size)) return std::nullopt;
    const FrameState* frame = server.client ? server.client->frame.get() : nullptr;
    std::vector<SidebarTarget> fresh;
    const std::vector<SidebarTarget>* targets = nullptr;
    if (frame && frame->drawn && frame->size == server.size) {
        targets = &frame->sidebar_targets;
    } else {
        fresh = build_sidebar(server, SIDEBAR_WIDTH, pane_size(server.size).rows).targets;
        targets = &fresh;
    }
    if (size_t(row) >= targets->size()) return std::nullopt;
    const SidebarTarget& target = (*targets)[size_t(row)];
    if (target.kind == SidebarTarget::Kind::None) return std::nullopt;
    return target;
}

}  // namespace ruk
