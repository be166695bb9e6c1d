// The status bar says the most urgent thing there is: what the user is typing,
// then what just happened, then where they are in the help or the scrollback,
// then that their machine is gone; only when none of these applies does it
// list the windows. Every variant is exactly as wide as the terminal.
#include "ui/status_bar.h"

#include <algorithm>

#include "help/help.h"
#include "server/compose_state.h"
#include "server/layout.h"
#include "server/local_windows.h"
#include "server/registry.h"
#include "server/window.h"
#include "util/sanitize.h"
#include "util/width.h"

namespace ruk {

namespace {

constexpr std::string_view BLACK_ON_YELLOW = "\x1b[30;43m";
constexpr std::string_view WHITE_ON_RED = "\x1b[97;41m";

StatusBar plain(std::string_view colour, std::string_view text, int cols) {
    return {std::string(colour) + fit_columns(sanitize_text(text), cols), {}};
}

std::optional<uint32_t> window_number(const Server& server, View view) {
    if (view.machine == 0) {
        if (const Window* w = find_window(server, view.window)) return w->number;
        return std::nullopt;
    }
    if (const Machine* m = find_machine(server, view.machine)) {
        for (const auto& info : m->windows)
            if (info.id == view.window) return info.index;
    }
    return std::nullopt;
}

std::string prompt_text(const Server& server, const PromptState& prompt) {
    if (prompt.kind == PromptState::Kind::Rename) {
        auto number = window_number(server, prompt.target);
        return " rename window " + (number ? std::to_string(*number) : std::string("?")) + ": " + prompt.input +
               "█   (enter to save, empty for default, esc to cancel)";
    }
    return " :" + prompt.input + "█   " + prompt.hint.value_or("(tab completes, enter runs, esc cancels)");
}

std::string help_text(const Server& server) {
    const TermSize pane = pane_size(server.size);
    const size_t lines = help_line_count(pane.cols);
    // The first line shown, as the help view limits it: the last page is full.
    const size_t first = std::min(server.help.offset, lines > pane.rows ? lines - pane.rows : 0);
    const size_t last = std::min(first + pane.rows, lines);
    return " help " + std::to_string(first + 1) + "-" + std::to_string(last) + "/" + std::to_string(lines) +
           "   arrows/j/k line · pgup/pgdn page · g/G top/bottom · q leave";
}

std::string scrollback_text(const ScrollbackState& scrollback) {
    return " scrollback " + std::to_string(scrollback.offset) + "/" + std::to_string(scrollback.max_offset) +
           "   arrows/j/k line · pgup/pgdn page · g/G top/bottom · q leave";
}

// The label of an unnamed local window is what runs in it; looking that up
// only refreshes the window's cache of its foreground process.
std::string local_label(const Window& window) {
    if (window.name) return *window.name;
    return process_display_name(const_cast<Window&>(window));
}

struct Entry {
    uint32_t number;
    std::string label;
    char mark;
    WindowId id;
};

StatusBar window_list(const Server& server, int cols) {
    const MachineId machine = server.view ? server.view->machine : 0;
    const bool any_connected =
        std::any_of(server.machines.begin(), server.machines.end(), [](const Machine& m) { return m.connected; });
    const std::string label = any_connected ? sanitize_text(machine_display_name(server, machine)) : "ruk";
    auto is_viewed = [&](WindowId id) { return server.view == View{machine, id}; };

    std::vector<Entry> entries;
    int colour = LOCAL_COLOUR;
    if (machine == 0) {
        for (const auto& w : server.windows) {
            char mark = ' ';
            if (is_viewed(w->id)) mark = '*';
            else if (w->agent && w->agent->state == AgentState::NeedsInput) mark = '!';
            else if (w->agent && w->agent->done) mark = '+';
            entries.push_back({w->number, local_label(*w), mark, w->id});
        }
    } else if (const Machine* m = find_machine(server, machine)) {
        colour = m->colour;
        for (const auto& info : m->windows) {
            char mark = ' ';
            if (is_viewed(info.id)) mark = '*';
            else if (info.agent && info.agent->state == "needs_input") mark = '!';
            else if (info.agent && m->done.contains(info.id)) mark = '+';
            entries.push_back({info.index, sanitize_text(info.name ? *info.name : info.process), mark, info.id});
        }
    }

    StatusBar bar;
    std::string text = "[" + label + "] ";
    int column = display_width(text);
    for (const auto& e : entries) {
        std::string entry = std::to_string(e.number) + ":" + e.label + e.mark;
        const int width = display_width(entry);
        bar.hits.push_back({column, column + width, machine, e.id});
        text += entry;
        text += ' ';
        column += width + 1;
    }

    int list_cols = cols;
    std::string notice;
    if (server.available_release) {
        notice = " ruk " + *server.available_release + " available: run ruk update ";
        const int notice_width = display_width(notice);
        if (column + notice_width <= cols) list_cols = cols - notice_width;
        else notice.clear();
    }

    // A click lands only on what is shown.
    std::erase_if(bar.hits, [&](const StatusHit& h) { return h.first >= list_cols; });
    for (auto& h : bar.hits) h.end = std::min(h.end, list_cols);

    bar.line = "\x1b[30;48;5;" + std::to_string(colour) + "m" + fit_columns(text, list_cols) + notice;
    return bar;
}

}  // namespace

StatusBar build_status_bar(const Server& server) {
    const int cols = server.size.cols;
    if (server.prompt) return plain(BLACK_ON_YELLOW, prompt_text(server, *server.prompt), cols);
    if (server.status_message && server.tick < server.status_message->expires)
        return plain(WHITE_ON_RED, " " + server.status_message->text, cols);
    if (server.help.open) return plain(BLACK_ON_YELLOW, help_text(server), cols);
    const auto& scrollback = server.scrollback;
    if (scrollback.active && server.view == View{scrollback.machine, scrollback.window})
        return plain(BLACK_ON_YELLOW, scrollback_text(scrollback), cols);
    if (server.view && server.view->machine != 0) {
        const Machine* m = find_machine(server, server.view->machine);
        if (m && !m->connected)
            return plain(WHITE_ON_RED,
                         " [" + machine_display_name(server, m->id) + "] offline, reconnecting: " +
                             m->status.value_or("offline"),
                         cols);
    }
    return window_list(server, cols);
}

std::optional<View> status_window_at(const Server& server, int column) {
    const FrameState* frame = server.client ? server.client->frame.get() : nullptr;
    std::vector<StatusHit> fresh;
    const std::vector<StatusHit>* hits = nullptr;
    if (frame && frame->drawn && frame->size == server.size) {
        hits = &frame->status_hits;
    } else {
        fresh = build_status_bar(server).hits;
        hits = &fresh;
    }
    for (const auto& h : *hits)
        if (column >= h.first && column < h.end) return View{h.machine, h.window};
    return std::nullopt;
}

}  // namespace ruk
