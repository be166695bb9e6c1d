#include "server/local_windows.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "location/location.h"
#include "server/layout.h"
#include "server/peers.h"
#include "server/registry.h"
#include "server/shell_line.h"
#include "server/view.h"
#include "server/window.h"
#include "sys/sys.h"
#include "util/log.h"
#include "util/sanitize.h"

namespace ruk {

namespace {

constexpr auto FOREGROUND_CACHE = std::chrono::milliseconds(500);
constexpr uint64_t AGENT_START_TICKS = 60;

bool is_directory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::string> current_directory() {
    char buffer[4096];
    if (!::getcwd(buffer, sizeof buffer)) return std::nullopt;
    return std::string(buffer);
}

// The newest child of a process (latest start, then the larger pid).
std::optional<pid_t> newest_child(pid_t parent) {
    std::optional<pid_t> best;
    uint64_t best_start = 0;
    for (pid_t child : sys::process_children(parent)) {
        const auto start = sys::process_start_time(child);
        if (!start) continue;
        if (!best || *start > best_start || (*start == best_start && child > *best)) {
            best = child;
            best_start = *start;
        }
    }
    return best;
}

}  // namespace

std::optional<std::string> executable_name(pid_t pid) {
    auto path = sys::process_executable(pid);
    if (!path) return std::nullopt;
    std::string name = path->substr(path->rfind('/') + 1);
    if (name.size() > 4) {
        std::string tail = name.substr(name.size() - 4);
        std::transform(tail.begin(), tail.end(), tail.begin(), ::tolower);
        if (tail == ".exe") name.resize(name.size() - 4);
    }
    return name;
}

std::optional<WindowId> spawn_window(Server& server, uint16_t rows, uint16_t cols, std::optional<std::string> cwd,
                                     const std::vector<std::string>& args) {
    const uint32_t number = allocate_window_number(server);
    sys::PtyOptions options{
        .argv = shell_argv(server.shell, args),
        .environment = child_environment(server.socket_path, number),
        .cwd = cwd && is_directory(*cwd) ? cwd : std::nullopt,
        .rows = rows,
        .cols = cols,
    };
    const WindowId id = server.next_window_id;
    auto process = WindowProcess::start(id, options, server.events);
    if (!process) {
        log_line("failed to spawn " + server.shell + ": " + process.error().message);
        return std::nullopt;
    }
    ++server.next_window_id;
    auto window = std::make_unique<Window>();
    window->id = id;
    window->number = number;
    window->screen = Screen(rows, cols);
    window->process = std::move(*process);
    insert_window(server, std::move(window));
    publish_windows(server);
    return id;
}

std::optional<WindowId> new_shell_window(Server& server, uint16_t rows, uint16_t cols,
                                         std::optional<WindowId> current) {
    std::optional<std::string> cwd;
    if (current) {
        if (Window* window = find_window(server, *current)) {
            cwd = sys::process_cwd(foreground_process(*window));
            if (!cwd) cwd = sys::process_cwd(window->pid());
        }
    }
    return spawn_window(server, rows, cols, cwd, {});
}

Result<StartedAgent> start_local_agent(Server& server, const protocol::NewAgent& agent, uint16_t rows, uint16_t cols) {
    RUK_TRY(parse_runtime(agent.runtime));
    if (agent.name) {
        RUK_TRY(validate_window_name(*agent.name));
        for (const auto& w : server.windows)
            if (w->name == *agent.name) return fail("name '" + *agent.name + "' is already taken");
    }
    std::optional<std::string> dir = agent.dir && is_directory(*agent.dir) ? agent.dir : current_directory();

    std::vector<std::string> args{agent.runtime};
    args.insert(args.end(), agent.args.begin(), agent.args.end());
    const auto id = spawn_window(server, rows, cols, dir, args);
    if (!id) return fail("could not start a shell");
    Window* window = find_window(server, *id);
    if (!window) return fail("window is gone");
    window->started_as_agent = true;
    window->agent_start_deadline = server.tick + AGENT_START_TICKS;
    if (agent.name) {
        window->name = agent.name;
    } else {
        std::optional<std::string> project;
        if (dir) {
            if (auto location = project_location(*dir)) project = project_name(location->root);
        }
        window->name = unique_window_name(server, default_name_base(project, agent.runtime), *id);
        window->name_is_default = true;
    }
    publish_windows(server);
    return StartedAgent{*id, window->name.value_or("")};
}

void resize_window(Server& server, Window& window, uint16_t rows, uint16_t cols) {
    if (window.screen.rows() == rows && window.screen.cols() == cols) return;
    if (window.process) (void)window.process->resize(rows, cols);
    window.screen.resize(rows, cols);
    refresh_peers_viewing(server, window.id);
}

void write_input(Server& server, Window& window, std::span<const uint8_t> bytes) {
    const auto pane = pane_size(server.size);
    resize_window(server, window, pane.rows, pane.cols);
    window.last_input_at = std::chrono::steady_clock::now();
    if (window.process) window.process->write(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

namespace {

// Finds what the window runs in front now; the pid and its name are cached
// together, so drawing a frame reads nothing from /proc.
const ForegroundCache& foreground(Window& window) {
    const auto now = std::chrono::steady_clock::now();
    if (window.foreground_cache && now - window.foreground_cache->at < FOREGROUND_CACHE) return *window.foreground_cache;
    // The terminal's foreground process group is the job the user runs; its
    // leader is the program they started.
    pid_t found = window.pid();
    if (window.process) {
        if (auto group = window.process->foreground_group(); group && sys::process_start_time(*group)) found = *group;
    }
    // A wrapper that only starts the real program is looked through once.
    auto name = executable_name(found);
    if (name && (*name == "cmd" || *name == "CMD")) {
        if (auto child = newest_child(found)) {
            found = *child;
            name = executable_name(found);
        }
    }
    if (!name) name = executable_name(window.pid());
    window.foreground_cache = ForegroundCache{now, found, sanitize_text(name.value_or("?"))};
    return *window.foreground_cache;
}

}  // namespace

pid_t foreground_process(Window& window) { return foreground(window).pid; }

// Drawing takes the name the last lookup found, however old: the tick looks
// the foreground up again for every window twice a second, so a frame never
// reads /proc itself once a window has been looked at.
std::string process_display_name(Window& window) {
    if (window.foreground_cache) return window.foreground_cache->name;
    return foreground(window).name;
}

void feed_output(Server& server, WindowId id, std::vector<uint8_t>&& bytes) {
    Window* window = find_window(server, id);
    if (!window) return;
    auto& scrollback = server.scrollback;
    if (scrollback.active && scrollback.machine == 0 && scrollback.window == id) {
        // Parse at the user's offset so the screen raises it as lines enter
        // the history: the scrolled view keeps showing the same lines.
        window->screen.set_scrollback_offset(scrollback.offset);
        window->screen.feed(bytes);
        scrollback.offset = window->screen.scrollback_offset();
        window->screen.set_scrollback_offset(0);
        scrollback.max_offset = window->screen.history_lines();
    } else {
        window->screen.feed(bytes);
    }
    auto replies = window->screen.take_replies();
    if (!replies.empty() && window->process)
        window->process->write(std::vector<uint8_t>(replies.begin(), replies.end()));
    forward_output_to_peers(server, id, bytes);
}

Flow window_exited(Server& server, WindowId id) {
    auto it = std::find_if(server.windows.begin(), server.windows.end(), [&](const auto& w) { return w->id == id; });
    if (it == server.windows.end()) return Flow::Continue;  // the second report of one exit
    const size_t position = static_cast<size_t>(it - server.windows.begin());
    server.windows.erase(it);

    if (server.view && server.view->machine == 0 && server.view->window == id) {
        std::optional<View> next;
        if (!server.windows.empty()) {
            const size_t at = std::min(position, server.windows.size() - 1);
            next = View{0, server.windows[at]->id};
        } else {
            for (const auto& machine : server.machines) {
                if (!machine.windows.empty()) {
                    next = View{machine.id, machine.windows.front().id};
                    break;
                }
            }
        }
        if (next)
            switch_view(server, *next);
        else
            clear_view(server);
    }
    publish_windows(server);
    return Flow::Continue;
}

}  // namespace ruk
