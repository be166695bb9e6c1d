// The view of the attached client. A local window is sized to the pane when
// it is shown or typed into, because the pane shows its screen cell for cell.
// The scrollback offset lives in the window's screen as well as in the view
// state: the screen raises it while output arrives, so the lines in view stay
// put, and scrolling on starts from there.
#include "server/view.h"

#include <algorithm>
#include <limits>
#include <string_view>

#include "help/help.h"
#include "server/escapes.h"
#include "server/layout.h"
#include "server/local_windows.h"
#include "server/registry.h"
#include "server/remote.h"
#include "server/remote_view.h"
#include "server/status.h"
#include "server/window.h"

namespace ruk {

namespace {

constexpr size_t VIEW_HISTORY_LIMIT = 64;

bool remote_window_exists(const Machine& machine, WindowId id) {
    return std::any_of(machine.windows.begin(), machine.windows.end(),
                       [&](const protocol::WindowInfo& w) { return w.id == id; });
}

void remember_view(Server& server, View view) {
    auto& history = server.view_history;
    history.erase(std::remove(history.begin(), history.end(), view), history.end());
    history.insert(history.begin(), view);
    if (history.size() > VIEW_HISTORY_LIMIT) history.resize(VIEW_HISTORY_LIMIT);
}

Window* local_view_window(Server& server) {
    if (!server.view || server.view->machine != 0) return nullptr;
    return find_window(server, server.view->window);
}

// base + delta, kept within 0..limit without overflowing.
size_t offset_after(size_t base, int64_t delta, size_t limit) {
    base = std::min(base, limit);
    if (delta >= 0) {
        const uint64_t up = static_cast<uint64_t>(delta);
        return up >= limit - base ? limit : base + up;
    }
    const uint64_t down = static_cast<uint64_t>(-(delta + 1)) + 1;  // |delta| without overflow
    return down >= base ? 0 : base - down;
}

struct NavSequence {
    std::string_view bytes;
    NavKind kind;
    int count;
};

// Whole escape sequences of navigation keys.
constexpr NavSequence NAV_SEQUENCES[] = {
    {"\x1b[A", NavKind::Lines, 1},    {"\x1bOA", NavKind::Lines, 1},    {"\x1b[B", NavKind::Lines, -1},
    {"\x1bOB", NavKind::Lines, -1},   {"\x1b[H", NavKind::Top, 0},      {"\x1bOH", NavKind::Top, 0},
    {"\x1b[F", NavKind::Bottom, 0},   {"\x1bOF", NavKind::Bottom, 0},   {"\x1b[5~", NavKind::Pages, 2},
    {"\x1b[5;2~", NavKind::Pages, 2}, {"\x1b[6~", NavKind::Pages, -2},  {"\x1b[6;2~", NavKind::Pages, -2},
    {"\x1b[1~", NavKind::Top, 0},     {"\x1b[7~", NavKind::Top, 0},     {"\x1b[4~", NavKind::Bottom, 0},
    {"\x1b[8~", NavKind::Bottom, 0},
};

struct NavByte {
    uint8_t byte;
    NavKind kind;
    int count;
};

constexpr NavByte NAV_BYTES[] = {
    {'k', NavKind::Lines, 1},   {0x10, NavKind::Lines, 1},  {'j', NavKind::Lines, -1},  {0x0e, NavKind::Lines, -1},
    {0x0d, NavKind::Lines, -1}, {'u', NavKind::Pages, 1},   {0x15, NavKind::Pages, 1},  {'d', NavKind::Pages, -1},
    {0x04, NavKind::Pages, -1}, {'b', NavKind::Pages, 2},   {'f', NavKind::Pages, -2},  {' ', NavKind::Pages, -2},
    {0x06, NavKind::Pages, -2}, {'g', NavKind::Top, 0},     {'G', NavKind::Bottom, 0},  {'q', NavKind::Leave, 0},
};

}  // namespace

void switch_view(Server& server, MachineId machine, WindowId id) {
    if (machine == 0) {
        Window* window = find_window(server, id);
        if (!window) return;
        // Resizing tells the peers that watch the window to redraw it.
        const auto pane = pane_size(server.size);
        resize_window(server, *window, pane.rows, pane.cols);
        if (window->agent) window->agent->done = false;
    } else {
        Machine* m = find_machine(server, machine);
        if (!m || !remote_window_exists(*m, id)) return;
        m->done.erase(id);
    }
    server.view = View{machine, id};
    remember_view(server, *server.view);
}

void clear_view(Server& server) { server.view.reset(); }

void open_window_on(Server& server, MachineId machine) {
    if (machine == 0) {
        std::optional<WindowId> current;
        if (server.view && server.view->machine == 0) current = server.view->window;
        const auto pane = pane_size(server.size);
        if (auto id = new_shell_window(server, pane.rows, pane.cols, current)) switch_view(server, 0, *id);
        return;
    }
    const Machine* m = find_machine(server, machine);
    if (!m) return;
    if (!m->connected || !request_new_window(server, machine))
        set_status_message(server, machine_display_name(server, machine) + " is offline");
}

void go_to_target(Server& server, const ViewTarget& target) {
    if (target.window) {
        switch_view(server, target.machine, *target.window);
        return;
    }
    if (target.machine == 0) {
        if (!server.windows.empty())
            switch_view(server, 0, server.windows.front()->id);
        else
            open_window_on(server, 0);
        return;
    }
    const Machine* m = find_machine(server, target.machine);
    if (!m) return;
    if (!m->windows.empty())
        switch_view(server, target.machine, m->windows.front().id);
    else
        open_window_on(server, target.machine);
}

void send_to_view(Server& server, std::span<const uint8_t> bytes) {
    if (!server.view || bytes.empty()) return;
    if (server.input_tap) server.input_tap(*server.view, bytes);
    if (server.view->machine == 0) {
        // A window whose program has gone takes no input; that is not an error.
        if (Window* window = find_window(server, server.view->window)) write_input(server, *window, bytes);
        return;
    }
    (void)send_remote_input(server, server.view->machine, server.view->window, bytes);
}

const Screen* viewed_screen(const Server& server) {
    if (!server.view) return nullptr;
    if (server.view->machine != 0) return remote_view_screen(const_cast<Server&>(server));
    const Window* window = find_window(server, server.view->window);
    return window ? &window->screen : nullptr;
}

bool scrollback_on_view(const Server& server) {
    const auto& s = server.scrollback;
    return s.active && server.view && s.machine == server.view->machine && s.window == server.view->window;
}

int half_page(const Server& server) { return std::max(1, pane_size(server.size).rows / 2); }

void end_scrollback(Server& server) {
    server.scrollback.active = false;
    server.scrollback.offset = 0;
}

size_t viewed_scrollback_offset(const Server& server) {
    // Screens stay live between operations; feeding output moves this offset
    // so the same lines stay in view.
    return scrollback_on_view(server) ? server.scrollback.offset : 0;
}

void scroll_view(Server& server, int64_t delta, bool keep) {
    if (!server.view) return;
    size_t base = 0;
    Window* window = local_view_window(server);
    if (scrollback_on_view(server)) {
        base = viewed_scrollback_offset(server);
        keep = true;
    } else if (server.scrollback.active) {
        end_scrollback(server);  // another window's scrollback ends
    }
    const Screen* screen = window ? &window->screen : remote_view_screen(server);
    const size_t max_offset = screen ? screen->history_lines() : 0;
    const size_t offset = offset_after(base, delta, max_offset);
    const bool active = offset != 0 || (delta == 0 && keep);
    server.scrollback = ScrollbackState{
        .active = active,
        .machine = server.view->machine,
        .window = server.view->window,
        .offset = active ? offset : 0,
        .max_offset = max_offset,
    };
}

size_t help_max_offset(const Server& server) {
    const auto pane = pane_size(server.size);
    const size_t lines = help_line_count(pane.cols);
    return lines > pane.rows ? lines - pane.rows : 0;
}

void scroll_help(Server& server, int64_t lines) {
    const size_t limit = help_max_offset(server);
    const int64_t down = lines == std::numeric_limits<int64_t>::min() ? std::numeric_limits<int64_t>::max() : -lines;
    server.help.offset = offset_after(server.help.offset, down, limit);
}

NavKey read_nav_key(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return {NavKind::Other, 0, 0};
    if (bytes[0] == ESC) {
        if (bytes.size() == 1) return {NavKind::Leave, 0, 1};
        if (const size_t length = key_sequence_length(bytes)) {
            const std::string_view sequence(reinterpret_cast<const char*>(bytes.data()), length);
            for (const auto& s : NAV_SEQUENCES)
                if (s.bytes == sequence) return {s.kind, s.count, length};
            return {NavKind::Other, 0, length};
        }
        return {NavKind::Other, 0, 1};
    }
    for (const auto& b : NAV_BYTES)
        if (b.byte == bytes[0]) return {b.kind, b.count, 1};
    return {NavKind::Other, 0, 1};
}

}  // namespace ruk
