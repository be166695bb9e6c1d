// One table says which commands the server runs, how many words each takes
// and what its usage line is; a command with the wrong number of words gets
// its own usage line back. Each command mostly calls the part of the server
// that owns what it changes, and only words the reply.
#include "server/commands.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "messages/queue.h"
#include "notify/notify.h"
#include "server/new_agent.h"
#include "server/registry.h"
#include "hosts/hosts_file.h"
#include "server/remote_links.h"
#include "server/window.h"
#include "texts.h"
#include "ui/sidebar.h"
#include "util/sanitize.h"
#include "util/width.h"

namespace ruk {

namespace {

using Words = std::vector<std::string>;
using Context = std::optional<View>;

constexpr std::string_view NOTIFY_USAGE = "notify [on|off|test]";
constexpr std::string_view NOT_IN_WINDOW = "not running inside a ruk window";

ReplyText success(std::string text = {}) { return {true, std::move(text)}; }
ReplyText failure(std::string text) { return {false, std::move(text)}; }
ReplyText usage(std::string_view line) { return failure("usage: ruk " + std::string(line)); }
ReplyText from(const Result<void>& result) { return result ? success() : failure(result.error().message); }
ReplyText from(const Result<std::string>& result) {
    return result ? success(*result) : failure(result.error().message);
}

bool inside_local_window(Context context) { return context && context->machine == 0; }

std::string join(std::span<const std::string> words, std::string_view separator) {
    std::string out;
    for (const auto& word : words) {
        if (!out.empty()) out += separator;
        out += word;
    }
    return out;
}

// ---- agents ---------------------------------------------------------------

std::string_view state_cell(const SidebarAgent& agent) {
    if (agent.unreachable) return "unreachable";
    switch (agent.state) {
        case AgentState::NeedsInput: return "needs-input";
        case AgentState::Working: return "working";
        case AgentState::Idle: break;
    }
    return agent.done ? "done" : "idle";
}

// The last component of a project root; roots from other machines may use "\".
std::string last_component(std::string_view root) {
    while (root.size() > 1 && (root.back() == '/' || root.back() == '\\')) root.remove_suffix(1);
    const auto cut = root.find_last_of("/\\");
    if (cut == std::string_view::npos || root.size() == 1) return std::string(root);
    return std::string(root.substr(cut + 1));
}

ReplyText agents_command(Server& server, const Words&, Context context) {
    // Agents of a machine that is listed but unreachable still have rows, so
    // the HOST column comes with any remote machine, not only a live one.
    const bool with_host = !server.machines.empty();
    std::vector<Words> rows;
    Words header{"NAME", "WINDOW", "AGENT", "STATE", "QUEUED", "PROJECT", "BRANCH"};
    if (with_host) header.insert(header.begin() + 1, "HOST");
    rows.push_back(std::move(header));
    for (const SidebarAgent& agent : sidebar_agents(server)) {
        std::string name = agent.name;
        if (context == View{agent.machine, agent.window_id}) name += " (you)";
        Words row{std::move(name),
                  std::to_string(agent.number),
                  std::string(runtime_name(agent.runtime)),
                  std::string(state_cell(agent)),
                  std::to_string(agent.overdue_messages),
                  agent.project_root ? last_component(*agent.project_root) : "-",
                  agent.project_root && agent.branch ? *agent.branch : "-"};
        if (with_host) row.insert(row.begin() + 1, machine_display_name(server, agent.machine));
        rows.push_back(std::move(row));
    }
    return success(format_table(rows));
}

// ---- hosts ----------------------------------------------------------------

std::string ruk_cell(const Server& server, const Machine& machine) {
    if (!machine.connected) return "-";
    if (machine.release.empty()) return "older than 0.1.0";
    const std::string release = sanitize_text(machine.release);
    // The newer release the status bar announces is the one whose build was announced last.
    if (server.available_release && server.announced_build && *server.announced_build > machine.build)
        return release + " (update to " + *server.available_release + ")";
    return release;
}

ReplyText hosts_command(Server& server, const Words&, Context) {
    if (server.machines.empty()) return success("no machines connected (add one with: ruk connect HOST)");
    std::vector<Words> rows{{"HOST", "STATUS", "WINDOWS", "AGENTS", "RUK"}};
    for (const Machine& machine : server.machines) {
        const auto agents = std::count_if(machine.windows.begin(), machine.windows.end(),
                                          [](const protocol::WindowInfo& w) { return w.agent.has_value(); });
        rows.push_back({machine.host, machine.connected ? "online" : sanitize_text(machine.status.value_or("offline")),
                        std::to_string(machine.windows.size()), std::to_string(agents), ruk_cell(server, machine)});
    }
    return success(format_table(rows));
}

// ---- version --------------------------------------------------------------

ReplyText version_command(Server& server, const Words&, Context) {
    std::string text = version_line();
    if (server.available_release)
        text += "\nlatest: " + server.available_release_line.value_or(*server.available_release) + " (run `ruk update`)";
    return success(std::move(text));
}

// ---- names and numbers ----------------------------------------------------

ReplyText name_command(Server& server, const Words& words, Context context) {
    if (!inside_local_window(context)) return failure(std::string(NOT_IN_WINDOW));
    if (words.size() == 2) return from(rename_local_window(server, context->window, words[1]));
    const Window* window = find_window(server, context->window);
    if (!window) return failure("window is gone");
    if (!window->name) return failure("window " + std::to_string(window->number) + " has no name");
    return success(*window->name);
}

ReplyText rename_command(Server& server, const Words& words, Context) {
    const auto id = find_local_window(server, words[1]);
    if (!id) return failure("no window named '" + words[1] + "'");
    return from(rename_local_window(server, *id, words[2]));
}

ReplyText swap_command(Server& server, const Words& words, Context context) {
    std::optional<std::string_view> other;
    if (words.size() == 3) other = words[2];
    return from(swap_windows(server, words[1], other, context));
}

// ---- messages -------------------------------------------------------------

ReplyText send_command(Server& server, const Words& words, Context context) {
    const std::string& target_name = words[1];
    const std::string message = join(std::span(words).subspan(2), " ");
    if (const auto at = target_name.rfind('@'); at != std::string::npos)
        return failure("messaging agents on other machines (" + target_name.substr(at + 1) +
                       ") isn't supported yet");
    const auto target = find_local_window(server, target_name);
    if (!target) return failure("no agent named '" + target_name + "' (see: ruk agents)");
    std::optional<std::string> sender;
    if (inside_local_window(context)) {
        if (const Window* window = find_window(server, context->window))
            sender = window->name ? *window->name : std::to_string(window->number);
    }
    return from(queue_message(server, *target, message, sender));
}

// ---- machines -------------------------------------------------------------

ReplyText connect_command(Server& server, const Words& words, Context) {
    // The command is saved as the rest of a hosts-file line, so it may hold
    // no line break; without one it is "ruk".
    auto command = remote_command({words.begin() + 2, words.end()});
    if (!command) return failure(command.error().message);
    return from(connect_machine(server, words[1], std::move(*command)));
}

ReplyText disconnect_command(Server& server, const Words& words, Context) {
    return from(disconnect_machine(server, words[1]));
}

// ---- notifications --------------------------------------------------------

ReplyText notify_command(Server& server, const Words& words, Context) {
    const std::string through = "notifications are on, through " + notifier_name(server);
    if (words.size() == 1) return success(notifications_enabled() ? through : "notifications are off");
    const std::string& what = words[1];
    if (what == "on" || what == "off") {
        if (auto stored = set_notifications_enabled(what == "on"); !stored) return failure(stored.error().message);
        return success(what == "on" ? through : "notifications are off");
    }
    if (what == "test") {
        send_notification(server, "ruk test", "Notifications from ruk show up like this");
        return success("sent a test notification through " + notifier_name(server));
    }
    return usage(NOTIFY_USAGE);
}

// ---- the table ------------------------------------------------------------

constexpr size_t ANY = std::numeric_limits<size_t>::max();

struct CommandSpec {
    std::string_view name;
    size_t min_words, max_words;  // the command word included
    std::string_view usage;
    ReplyText (*run)(Server&, const Words&, Context);  // none: never run here
};

constexpr CommandSpec COMMANDS[] = {
    {"agents", 1, 1, "agents", agents_command},
    {"hosts", 1, 1, "hosts", hosts_command},
    {"version", 1, 1, "version", version_command},
    {"name", 1, 2, "name [NAME]", name_command},
    {"rename", 3, 3, "rename OLD NEW", rename_command},
    {"swap-window", 2, 3, "swap-window WINDOW [OTHER]   (OTHER defaults to the current window)", swap_command},
    {"send", 3, ANY, "send NAME MESSAGE...   (or: send NAME - to read it from stdin)", send_command},
    {"connect", 2, ANY, "connect HOST [REMOTE-RUK-COMMAND]", connect_command},
    {"disconnect", 2, 2, "disconnect HOST", disconnect_command},
    {"notify", 1, 2, NOTIFY_USAGE, notify_command},
    // The event loop starts agents itself: it has the caller's process and
    // may answer later. Here (from the prompt) only the usage is left.
    {"new", 0, 0, NEW_USAGE, nullptr},
};

}  // namespace

std::string format_table(const std::vector<std::vector<std::string>>& rows) {
    std::vector<int> widths;
    for (const auto& row : rows) {
        if (widths.size() < row.size()) widths.resize(row.size(), 0);
        for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], display_width(row[i]));
    }
    std::string out;
    for (size_t r = 0; r < rows.size(); ++r) {
        std::string line;
        for (size_t i = 0; i < rows[r].size(); ++i) {
            if (i > 0) line += "  ";
            line += pad_columns(rows[r][i], widths[i]);
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        if (r > 0) out += '\n';
        out += line;
    }
    return out;
}

ReplyText run_command(Server& server, const std::vector<std::string>& args, std::optional<View> context) {
    if (args.empty()) return failure("no command");
    for (const CommandSpec& command : COMMANDS) {
        if (args[0] != command.name) continue;
        if (command.run && args.size() >= command.min_words && args.size() <= command.max_words)
            return command.run(server, args, context);
        return usage(command.usage);
    }
    return usage("agents");
}

}  // namespace ruk
