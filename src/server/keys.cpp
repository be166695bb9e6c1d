// The bytes the attached client types, read position by position: focus and
// mouse reports first, then the keys of whatever view is open (a prompt, the
// help, the switcher, the scrollback), then the prefix key and the key after
// it. Everything else is collected and typed into the viewed window in one
// write at the end, or before anything that could change which window that is.
//
// Escape sequences are not interpreted in normal mode: pasted text, bracketed
// paste markers included, reaches the program as it came. A ctrl+b inside a
// paste still starts a prefix; the terminal cannot tell us otherwise.
#include "server/keys.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "picker/switcher.h"
#include "server/command_line.h"
#include "server/commands.h"
#include "server/escapes.h"
#include "server/event_loop.h"
#include "server/handlers.h"
#include "server/mouse.h"
#include "server/registry.h"
#include "server/remote.h"
#include "server/server.h"
#include "server/status.h"
#include "server/view.h"
#include "server/window.h"
#include "ui/sidebar.h"

namespace ruk {

namespace {

using Bytes = std::span<const uint8_t>;

constexpr uint8_t CTRL_B = 0x02;
constexpr std::string_view SHIFT_PAGE_UP = "\x1b[5;2~";
constexpr int64_t ALL_THE_WAY = std::numeric_limits<int64_t>::max();

// The commands that the command prompt may run; the others need a terminal
// of their own (new, kill-server) or only print (agents, hosts, version).
constexpr std::string_view PROMPT_COMMANDS[] = {"swap-window", "rename", "name",  "send",
                                                "connect",     "disconnect", "notify"};

Bytes as_bytes(std::string_view text) { return {reinterpret_cast<const uint8_t*>(text.data()), text.size()}; }

// The machine that window keys act on: the viewed window's, else this one.
MachineId viewed_machine(const Server& server) { return server.view ? server.view->machine : 0; }

// The windows of a machine in list order.
std::vector<WindowId> machine_windows(const Server& server, MachineId machine) {
    std::vector<WindowId> ids;
    if (machine == 0) {
        for (const auto& window : server.windows) ids.push_back(window->id);
    } else if (const Machine* m = find_machine(server, machine)) {
        for (const auto& window : m->windows) ids.push_back(window.id);
    }
    return ids;
}

// The name a window has now, local or remote; nothing when it has none or is gone.
std::optional<std::string> window_name(const Server& server, View view) {
    if (view.machine == 0) {
        const Window* window = find_window(server, view.window);
        return window ? window->name : std::nullopt;
    }
    const Machine* m = find_machine(server, view.machine);
    if (!m) return std::nullopt;
    for (const auto& window : m->windows)
        if (window.id == view.window) return window.name;
    return std::nullopt;
}

bool window_exists(const Server& server, View view) {
    const auto ids = machine_windows(server, view.machine);
    return std::find(ids.begin(), ids.end(), view.window) != ids.end();
}

// --- prefix keys -----------------------------------------------------------

void prefix_new_window(Server& server, uint8_t) { open_window_on(server, viewed_machine(server)); }

void step_window(Server& server, int step) {
    const MachineId machine = viewed_machine(server);
    const auto ids = machine_windows(server, machine);
    if (ids.empty()) return;
    size_t current = 0;  // a view that is not in the list counts as the first window
    if (server.view) {
        auto it = std::find(ids.begin(), ids.end(), server.view->window);
        if (it != ids.end()) current = static_cast<size_t>(it - ids.begin());
    }
    const size_t count = ids.size();
    const size_t next = step > 0 ? (current + 1) % count : (current + count - 1) % count;
    switch_view(server, machine, ids[next]);
}

void prefix_next(Server& server, uint8_t) { step_window(server, 1); }
void prefix_previous(Server& server, uint8_t) { step_window(server, -1); }

void prefix_number(Server& server, uint8_t key) {
    const uint32_t number = key - '0';
    const MachineId machine = viewed_machine(server);
    if (machine == 0) {
        for (const auto& window : server.windows)
            if (window->number == number) return switch_view(server, 0, window->id);
    } else if (const Machine* m = find_machine(server, machine)) {
        for (const auto& window : m->windows)
            if (window.index == number) return switch_view(server, machine, window.id);
    }
}

void prefix_detach(Server& server, uint8_t) { detach_client(server, "detached"); }

// The next agent that needs the user, in sidebar order after the viewed one:
// one that asks for input first, else one that has finished.
void prefix_attention(Server& server, uint8_t) {
    const auto agents = sidebar_agents(server);
    if (agents.empty()) return;
    size_t start = 0;
    if (server.view) {
        for (size_t k = 0; k < agents.size(); ++k) {
            if (agents[k].machine == server.view->machine && agents[k].window_id == server.view->window) {
                start = k + 1;
                break;
            }
        }
    }
    auto first = [&](auto wanted) -> const SidebarAgent* {
        for (size_t n = 0; n < agents.size(); ++n) {
            const SidebarAgent& agent = agents[(start + n) % agents.size()];
            if (!agent.unreachable && wanted(agent)) return &agent;
        }
        return nullptr;
    };
    const SidebarAgent* agent = first([](const SidebarAgent& a) { return a.state == AgentState::NeedsInput; });
    if (!agent) agent = first([](const SidebarAgent& a) { return a.state == AgentState::Idle && a.done; });
    if (agent) switch_view(server, agent->machine, agent->window_id);
}

void prefix_switcher(Server& server, uint8_t) {
    server.help.open = false;
    end_scrollback(server);
    server.switcher = SwitcherState{};
    switcher_refresh_selection(server);
}

void prefix_rename(Server& server, uint8_t) {
    if (!server.view || !window_exists(server, *server.view)) return;
    server.prompt = PromptState{
        .kind = PromptState::Kind::Rename,
        .input = window_name(server, *server.view).value_or(""),
        .target = *server.view,
        .hint = std::nullopt,
    };
}

void prefix_command(Server& server, uint8_t) {
    server.prompt.emplace();
    server.prompt->kind = PromptState::Kind::Command;
}
void prefix_scrollback(Server& server, uint8_t) { scroll_view(server, 0, true); }
void prefix_help(Server& server, uint8_t) { server.help = HelpState{.open = true, .offset = 0}; }
void prefix_send_prefix(Server& server, uint8_t) { send_to_view(server, as_bytes("\x02")); }

struct PrefixKey {
    uint8_t key;
    void (*run)(Server&, uint8_t key);
};

constexpr PrefixKey PREFIX_KEYS[] = {
    {'c', prefix_new_window}, {'n', prefix_next},      {'p', prefix_previous},  {'0', prefix_number},
    {'1', prefix_number},     {'2', prefix_number},    {'3', prefix_number},    {'4', prefix_number},
    {'5', prefix_number},     {'6', prefix_number},    {'7', prefix_number},    {'8', prefix_number},
    {'9', prefix_number},     {'q', prefix_detach},    {'a', prefix_attention}, {'s', prefix_switcher},
    {'r', prefix_rename},     {':', prefix_command},   {'[', prefix_scrollback}, {'?', prefix_help},
    {CTRL_B, prefix_send_prefix},
};

// --- prompts ---------------------------------------------------------------

std::string trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    return std::string(text);
}

Result<void> rename_target(Server& server, View target, const std::string& name) {
    if (target.machine == 0)
        return name.empty() ? reset_window_name(server, target.window) : rename_local_window(server, target.window, name);
    if (!name.empty()) RUK_TRY(validate_window_name(name));
    const Machine* m = find_machine(server, target.machine);
    if (!m) return fail("machine is gone");
    const std::string offline = machine_display_name(server, target.machine) + " is offline";
    if (!m->connected) return fail(offline);
    const auto wanted = name.empty() ? std::nullopt : std::optional<std::string>(name);
    if (!request_rename_window(server, target.machine, target.window, wanted)) return fail(offline);
    return {};
}

std::vector<std::string> split_words(std::string_view text) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
        const size_t start = at;
        while (at < text.size() && !std::isspace(static_cast<unsigned char>(text[at]))) ++at;
        if (at > start) words.emplace_back(text.substr(start, at - start));
    }
    return words;
}

void run_command_prompt(Server& server, std::string_view input) {
    const auto words = split_words(input);
    if (words.empty()) return;
    if (std::find(std::begin(PROMPT_COMMANDS), std::end(PROMPT_COMMANDS), words[0]) == std::end(PROMPT_COMMANDS)) {
        std::string names;
        for (auto name : PROMPT_COMMANDS) names += (names.empty() ? "" : ", ") + std::string(name);
        set_status_message(server, "no command '" + words[0] + "' here (try: " + names + ")");
        return;
    }
    const auto reply = run_command(server, words, server.view);
    std::string line = reply.text.substr(0, reply.text.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) set_status_message(server, std::move(line));
}

void run_prompt(Server& server) {
    const PromptState prompt = std::move(*server.prompt);
    server.prompt.reset();
    if (prompt.kind == PromptState::Kind::Command) {
        run_command_prompt(server, prompt.input);
        return;
    }
    if (auto done = rename_target(server, prompt.target, trim(prompt.input)); !done)
        set_status_message(server, done.error().message);
}

// Named windows of every machine, plain on the viewed machine and as
// NAME@MACHINE elsewhere. Names another machine published that are no valid
// names are left out, so nothing but a name can be completed into the input.
std::vector<std::string> completion_names(const Server& server) {
    const MachineId viewed = viewed_machine(server);
    std::vector<std::string> names;
    auto add = [&](MachineId machine, const std::optional<std::string>& name) {
        if (!name || !validate_window_name(*name)) return;
        names.push_back(machine == viewed ? *name : *name + "@" + machine_display_name(server, machine));
    };
    for (const auto& window : server.windows) add(0, window->name);
    for (const auto& machine : server.machines)
        for (const auto& window : machine.windows) add(machine.id, window.name);
    return names;
}

void complete_prompt(Server& server) {
    auto completion = complete_command_line(server.prompt->input, completion_names(server));
    server.prompt->input = std::move(completion.input);
    server.prompt->hint = std::move(completion.hint);
}

size_t prompt_key(Server& server, Bytes rest) {
    PromptState& prompt = *server.prompt;
    prompt.hint.reset();
    const uint8_t byte = rest[0];
    if (byte == ESC) {
        if (const size_t length = key_sequence_length(rest)) return length;  // a key we have no use for
        server.prompt.reset();
        return 1;
    }
    switch (byte) {
        case 0x03: server.prompt.reset(); break;
        case 0x08:
        case 0x7f:
            if (!prompt.input.empty()) prompt.input.pop_back();
            break;
        case 0x15: prompt.input.clear(); break;
        case '\t':
            if (prompt.kind == PromptState::Kind::Command) complete_prompt(server);
            break;
        case '\r':
        case '\n': run_prompt(server); break;
        default:
            if (byte >= 0x20 && byte <= 0x7e) prompt.input += static_cast<char>(byte);
    }
    return 1;
}

// --- help and scrollback -----------------------------------------------------

size_t help_key(Server& server, Bytes rest) {
    if (rest[0] == CTRL_B || rest[0] == '?') {
        server.help.open = false;
        if (rest[0] == CTRL_B) server.prefix_pending = true;
        return 1;
    }
    const NavKey key = read_nav_key(rest);
    switch (key.kind) {
        case NavKind::Lines: scroll_help(server, key.count); break;
        case NavKind::Pages: scroll_help(server, int64_t(key.count) * half_page(server)); break;
        case NavKind::Top: server.help.offset = 0; break;
        case NavKind::Bottom: server.help.offset = help_max_offset(server); break;
        case NavKind::Leave: server.help.open = false; break;
        case NavKind::Other: break;
    }
    return key.used;
}

// The bytes taken; 0 when the key left scrollback and is to be read again as
// ordinary input.
size_t scrollback_key(Server& server, Bytes rest) {
    const NavKey key = read_nav_key(rest);
    switch (key.kind) {
        case NavKind::Lines: scroll_view(server, key.count, true); break;
        case NavKind::Pages: scroll_view(server, int64_t(key.count) * half_page(server), true); break;
        case NavKind::Top: scroll_view(server, ALL_THE_WAY, true); break;
        case NavKind::Bottom:
        case NavKind::Leave: end_scrollback(server); break;
        case NavKind::Other: end_scrollback(server); return 0;
    }
    return key.used;
}

// --- switcher ----------------------------------------------------------------

void edit_query(Server& server, uint8_t byte) {
    std::string& query = server.switcher->query;
    switch (byte) {
        case 0x08:
        case 0x7f:
            if (!query.empty()) query.pop_back();
            break;
        case 0x15: query.clear(); break;
        case 0x17: {  // ctrl+w: the last word and the blanks after it
            while (!query.empty() && query.back() == ' ') query.pop_back();
            const size_t blank = query.rfind(' ');
            query.erase(blank == std::string::npos ? 0 : blank + 1);
            break;
        }
        default: query += static_cast<char>(byte);
    }
    switcher_refresh_selection(server);
}

size_t switcher_key(Server& server, Bytes rest) {
    const uint8_t byte = rest[0];
    if (byte == ESC) {
        const size_t length = key_sequence_length(rest);
        if (length == 0) {
            server.switcher.reset();
            return 1;
        }
        const std::string_view sequence(reinterpret_cast<const char*>(rest.data()), length);
        if (sequence == "\x1b[B" || sequence == "\x1bOB") switcher_move(server, 1);
        if (sequence == "\x1b[A" || sequence == "\x1bOA" || sequence == "\x1b[Z") switcher_move(server, -1);
        return length;
    }
    switch (byte) {
        case 0x03:
        case 0x07: server.switcher.reset(); break;
        case CTRL_B:
            server.switcher.reset();
            server.prefix_pending = true;
            break;
        case '\t':
        case 0x0e: switcher_move(server, 1); break;
        case 0x10: switcher_move(server, -1); break;
        case '\r':
        case '\n': switcher_choose(server); break;
        case 0x08:
        case 0x7f:
        case 0x15:
        case 0x17: edit_query(server, byte); break;
        default:
            if (byte >= 0x20 && byte <= 0x7e) edit_query(server, byte);
    }
    return 1;
}

// What one input message has collected for the viewed window so far.
class PendingOutput {
public:
    explicit PendingOutput(Server& server) : m_server(server) {}
    void add(uint8_t byte) { m_bytes.push_back(byte); }
    void flush() {
        if (m_bytes.empty()) return;
        send_to_view(m_server, m_bytes);
        m_bytes.clear();
    }

private:
    Server& m_server;
    std::vector<uint8_t> m_bytes;
};

}  // namespace

void handle_input(Server& server, std::span<const uint8_t> input) {
    // A mouse report that the last input cut short continues here.
    std::vector<uint8_t> joined;
    if (server.client && !server.client->held_input.empty()) {
        joined = std::move(server.client->held_input);
        server.client->held_input.clear();
        joined.insert(joined.end(), input.begin(), input.end());
        input = joined;
    }

    PendingOutput pending(server);
    size_t at = 0;
    while (at < input.size()) {
        const Bytes rest = input.subspan(at);
        const uint8_t byte = rest[0];

        if (starts_with(rest, "\x1b[I") || starts_with(rest, "\x1b[O")) {
            server.focused = rest[2] == 'I';
            at += 3;
            continue;
        }
        if (auto report = parse_mouse_report(rest)) {
            pending.flush();
            handle_mouse(server, report->event);
            at += report->used;
            continue;
        }
        if (server.client && is_unfinished_mouse_report(rest)) {
            server.client->held_input.assign(rest.begin(), rest.end());
            break;
        }
        if (server.prompt) {
            at += prompt_key(server, rest);
            continue;
        }
        if (server.help.open) {
            at += help_key(server, rest);
            continue;
        }
        if (server.switcher) {
            at += switcher_key(server, rest);
            continue;
        }
        if (scrollback_on_view(server) && !server.prefix_pending && byte != CTRL_B) {
            at += scrollback_key(server, rest);  // 0: read again, now outside scrollback
            continue;
        }
        if (server.prefix_pending) {
            pending.flush();
            server.prefix_pending = false;
            ++at;
            auto key = std::find_if(std::begin(PREFIX_KEYS), std::end(PREFIX_KEYS),
                                    [&](const PrefixKey& k) { return k.key == byte; });
            if (key == std::end(PREFIX_KEYS)) continue;
            key->run(server, byte);
            if (key->run == prefix_detach) return;  // the rest was typed by a client that is gone
            continue;
        }
        if (starts_with(rest, SHIFT_PAGE_UP)) {
            const Screen* screen = viewed_screen(server);
            if (screen && !screen->alternate_screen()) {
                pending.flush();
                scroll_view(server, int64_t(2) * half_page(server), false);
                at += SHIFT_PAGE_UP.size();
                continue;
            }
        }
        if (byte == CTRL_B) {
            server.prefix_pending = true;
            ++at;
            continue;
        }
        pending.add(byte);
        ++at;
    }
    pending.flush();
}

}  // namespace ruk
