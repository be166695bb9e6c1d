// The attached client's picture. The client is a plain terminal that writes
// what it gets, so the server draws all of it: the pane, the sidebar and the
// status bar. Each frame is the difference between the picture now and what
// the client was last sent: pane rows are compared cell by cell and only
// changed rows are formatted, the sidebar and the status line go whole when
// they changed, and an unchanged picture costs no bytes at all. Frames are
// wrapped in synchronized output so the terminal shows each one whole.
#include "server/compose.h"
#include "server/remote_view.h"

#include <algorithm>

#include "help/help.h"
#include "picker/switcher.h"
#include "server/compose_state.h"
#include "server/layout.h"
#include "server/registry.h"
#include "server/window.h"

namespace ruk {

namespace {

// A client this far behind gets no new frame until it catches up: the next
// frame is a diff against what it was sent, so it carries everything.
constexpr uint64_t SKIP_FRAME_BACKLOG = 1u << 20;

constexpr std::string_view MOUSE_AND_FOCUS_REPORTING = "\x1b[?1000h\x1b[?1002h\x1b[?1006h\x1b[?1004h";

// Reads a window's screen at the offset the pane wants and puts the screen's
// own offset back afterwards.
class OffsetGuard {
public:
    OffsetGuard() = default;
    OffsetGuard(const OffsetGuard&) = delete;
    OffsetGuard& operator=(const OffsetGuard&) = delete;
    ~OffsetGuard() {
        if (m_screen) m_screen->set_scrollback_offset(m_saved);
    }
    void set(Screen& screen, size_t offset) {
        m_screen = &screen;
        m_saved = screen.scrollback_offset();
        screen.set_scrollback_offset(offset);
    }

private:
    Screen* m_screen = nullptr;
    size_t m_saved = 0;
};

// What the pane shows this frame. No screen: an empty pane.
struct PaneSource {
    Screen* screen = nullptr;
    PaneView view;
    bool scrolled_back = false;
    std::optional<Screen> owned;  // a screen made for this frame (switcher, help)
};

Screen* viewed_screen(Server& server) {
    if (!server.view) return nullptr;
    if (server.view->machine == 0) {
        Window* window = find_window(server, server.view->window);
        return window ? &window->screen : nullptr;
    }
    // A window of another machine shows the copy of its screen kept here.
    return remote_view_screen(server);
}

void choose_source(Server& server, TermSize pane, PaneSource& source, OffsetGuard& guard) {
    Screen* viewed = viewed_screen(server);
    const PaneView viewed_view =
        viewed ? PaneView{PaneKind::Window, server.view->machine, server.view->window} : PaneView{};

    if (server.switcher) {
        if (auto overlay = switcher_overlay(server)) {
            // The box is drawn over a copy, never into the window's own screen.
            source.owned.emplace(pane.rows, pane.cols, 0, Screen::Kind::Remote);
            if (viewed) source.owned->feed(viewed->state_formatted());
            source.owned->feed(*overlay);
            source.screen = &*source.owned;
            source.view = viewed_view;
            return;
        }
    }
    if (server.help.open) {
        if (auto help = render_help(server.help.offset, pane.rows, pane.cols)) {
            source.owned.emplace(std::move(*help));
            source.screen = &*source.owned;
            source.view = PaneView{PaneKind::Help, 0, 0};
            return;
        }
    }
    source.view = viewed_view;
    if (!viewed) return;
    source.screen = viewed;
    const auto& scrollback = server.scrollback;
    const bool scrolling =
        scrollback.active && scrollback.offset != 0 && server.view == View{scrollback.machine, scrollback.window};
    guard.set(*viewed, scrolling ? scrollback.offset : 0);
    source.scrolled_back = scrolling && viewed->scrollback_offset() != 0;
}

// A screen that is not the pane's size (a peer sized it last) is cut or
// padded to the pane.
void fit_row(std::vector<Cell>& row, int cols) {
    if (int(row.size()) > cols) {
        row.resize(size_t(cols));
        if (!row.empty() && row.back().width == 2) row.back() = Cell{' ', row.back().attrs, 1};
    } else if (int(row.size()) < cols) {
        row.resize(size_t(cols), Cell{});
    }
}

InputModes modes_of(const Screen* screen) {
    if (!screen) return {};
    return {screen->application_keypad(), screen->application_cursor_keys(), screen->bracketed_paste(),
            screen->mouse_mode() == MouseMode::AnyMotion};
}

void append_modes(std::string& out, const std::optional<InputModes>& sent, const InputModes& now) {
    if (!sent || sent->application_keypad != now.application_keypad)
        out += now.application_keypad ? "\x1b=" : "\x1b>";
    if (!sent || sent->application_cursor_keys != now.application_cursor_keys)
        out += now.application_cursor_keys ? "\x1b[?1h" : "\x1b[?1l";
    if (!sent || sent->bracketed_paste != now.bracketed_paste)
        out += now.bracketed_paste ? "\x1b[?2004h" : "\x1b[?2004l";
    if (!sent || sent->any_motion_mouse != now.any_motion_mouse)
        out += now.any_motion_mouse ? "\x1b[?1003h" : "\x1b[?1003l\x1b[?1000h\x1b[?1002h";
}

}  // namespace

void FrameState::forget() {
    drawn = false;
    sidebar.clear();
    status.clear();
    sidebar_targets.clear();
    status_hits.clear();
}

std::string render_frame(Server& server, FrameState& state) {
    const TermSize pane = pane_size(server.size);
    const bool sidebar_shown = has_sidebar(server.size);
    const int col_offset = sidebar_shown ? SIDEBAR_COLS : 0;

    PaneSource source;
    OffsetGuard guard;
    choose_source(server, pane, source, guard);
    const Screen* screen = source.screen;

    const bool full = !state.drawn || state.size != server.size || state.view != source.view ||
                      state.pane.rows != pane.rows || state.pane.cols != pane.cols;

    std::string body;
    if (full) {
        body += "\x1b[0m\x1b[H\x1b[2J";
        if (!state.mouse_reporting_sent) {
            body += MOUSE_AND_FOCUS_REPORTING;
            state.mouse_reporting_sent = true;
        }
        state.pane.rows = pane.rows;
        state.pane.cols = pane.cols;
        state.pane.cells.assign(size_t(pane.rows) * size_t(pane.cols), Cell{});
    }
    const InputModes modes = modes_of(screen);
    append_modes(body, state.modes, modes);
    state.modes = modes;

    // Pane rows: compared cell by cell; only a changed row is formatted. A full
    // redraw compares against blank rows, so every non-blank cell is written.
    auto& row = state.row_scratch;
    // Only a window's own screen lives from frame to frame; a copy made for
    // an overlay is new each time.
    const bool unchanged = !full && screen && !source.owned && screen == state.pane_screen &&
                           screen->generation() == state.pane_generation;
    for (int r = 0; r < pane.rows && !unchanged; ++r) {
        if (screen) screen->row_cells(r, row);
        else row.assign(size_t(pane.cols), Cell{});
        fit_row(row, pane.cols);
        Cell* sent = state.pane.cells.data() + size_t(r) * size_t(pane.cols);
        if (!full && std::equal(row.begin(), row.end(), sent)) continue;
        // row_diff writes every position as ESC [ row ; col H with both
        // numbers, the column already shifted past the sidebar.
        body += row_diff(full ? std::span<const Cell>{} : std::span<const Cell>(sent, row.size()), row, r, col_offset);
        std::copy(row.begin(), row.end(), sent);
    }

    state.pane_screen = source.owned ? nullptr : screen;
    state.pane_generation = screen ? screen->generation() : 0;

    if (sidebar_shown) {
        Sidebar sidebar = build_sidebar(server, SIDEBAR_WIDTH, pane.rows);
        if (full || sidebar.lines != state.sidebar) {
            for (size_t i = 0; i < sidebar.lines.size(); ++i) {
                append_cursor_position(body, int(i) + 1, 1);
                body += "\x1b[0m";
                body += sidebar.lines[i];
                body += "\x1b[0;38;5;238m│";
            }
            state.sidebar = std::move(sidebar.lines);
        }
        state.sidebar_targets = std::move(sidebar.targets);
    } else {
        state.sidebar.clear();
        state.sidebar_targets.clear();
    }

    StatusBar status = build_status_bar(server);
    if (full || status.line != state.status) {
        append_cursor_position(body, server.size.rows, 1);
        body += "\x1b[0m";
        body += status.line;
        body += "\x1b[0m";
        state.status = std::move(status.line);
    }
    state.status_hits = std::move(status.hits);

    // The cursor is shown only where the program has it: inside the pane, on
    // the live screen, and not hidden by the program.
    CursorPos cursor;
    bool visible = true;
    if (screen) {
        cursor = screen->cursor();
        visible = !screen->cursor_hidden();
    }
    const bool inside = cursor.row >= 0 && cursor.row < pane.rows && cursor.col >= 0 && cursor.col < pane.cols;
    visible = visible && !source.scrolled_back && inside;
    cursor.row = std::clamp(cursor.row, 0, int(pane.rows) - 1);
    cursor.col = std::clamp(cursor.col, 0, int(pane.cols) - 1);

    const bool cursor_changed = full || cursor != state.pane.cursor || visible == state.pane.cursor_hidden;
    state.drawn = true;
    state.size = server.size;
    state.view = source.view;
    state.pane.cursor = cursor;
    state.pane.cursor_hidden = !visible;
    if (body.empty() && !cursor_changed) return {};

    std::string out;
    out.reserve(body.size() + 64);
    out += "\x1b[?2026h\x1b[?25l";
    out += body;
    out += "\x1b[0m";
    append_cursor_position(out, cursor.row + 1, cursor.col + 1 + col_offset);
    if (screen) out += screen->pen_formatted();
    if (visible) out += "\x1b[?25h";
    out += "\x1b[?2026l";
    return out;
}

std::optional<std::vector<uint8_t>> render_client(Server& server) {
    if (!server.client) return std::nullopt;
    Client& client = *server.client;
    if (client.queue && client.queue->waiting() > SKIP_FRAME_BACKLOG) return std::nullopt;
    if (!client.frame) client.frame = std::make_shared<FrameState>();
    std::string bytes = render_frame(server, *client.frame);
    if (bytes.empty()) return std::nullopt;
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

void forget_previous_frame(Server& server) {
    if (server.client && server.client->frame) server.client->frame->forget();
}

}  // namespace ruk
