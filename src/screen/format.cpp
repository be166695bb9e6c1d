// A screen written back as escape sequences: a row, the pen, the full state
// for a fresh screen, the history pages of a peer redraw, and the difference
// between two rows. The output only uses sequences that the screen itself
// parses back to the same cells (absolute cursor positions, SGR, ESC [ K), so
// that a screen rebuilt from it equals its source.
#include <algorithm>
#include <optional>

#include "screen/cells.h"
#include "screen/screen_impl.h"

namespace ruk {

namespace screen_detail {

namespace {

void add_param(std::string& params, int value) {
    if (!params.empty()) params += ';';
    params += std::to_string(value);
}

void add_color(std::string& params, Color c, bool foreground) {
    switch (c.kind) {
    case Color::Kind::Default: add_param(params, foreground ? 39 : 49); break;
    case Color::Kind::Indexed:
        if (c.r < 8) add_param(params, (foreground ? 30 : 40) + c.r);
        else if (c.r < 16) add_param(params, (foreground ? 90 : 100) + c.r - 8);
        else {
            add_param(params, foreground ? 38 : 48);
            add_param(params, 5);
            add_param(params, c.r);
        }
        break;
    case Color::Kind::Rgb:
        add_param(params, foreground ? 38 : 48);
        add_param(params, 2);
        add_param(params, c.r);
        add_param(params, c.g);
        add_param(params, c.b);
        break;
    }
}

struct FlagParam {
    uint8_t flag;
    int on;
};
constexpr FlagParam FLAG_PARAMS[] = {
    {attr::BOLD, 1},  {attr::DIM, 2},     {attr::ITALIC, 3}, {attr::UNDERLINE, 4},
    {attr::BLINK, 5}, {attr::INVERSE, 7}, {attr::HIDDEN, 8}, {attr::STRIKE, 9},
};

void append_cup(std::string& out, int row, int col) {
    out += "\x1b[";
    out += std::to_string(row);
    out += ';';
    out += std::to_string(col);
    out += 'H';
}

// True when the cell at c is the right half of the wide character before it.
bool is_tail(std::span<const Cell> row, size_t c) { return row[c].width == 0 && c > 0 && row[c - 1].width == 2; }

// Appends one cell (a lone half of a wide character as a blank).
void append_cell(std::string& out, std::span<const Cell> row, size_t c) {
    const Cell& cell = row[c];
    bool whole = cell.width == 1 || (cell.width == 2 && c + 1 < row.size() && row[c + 1].width == 0);
    if (whole) cell.append_text(out);
    else out += ' ';
}

// The cells that a ESC [ K in these attributes leaves behind.
bool is_erased_blank(const Cell& c, Color bg) {
    return c.is_blank() && c.attrs.flags == 0 && c.attrs.fg == Color{} && c.attrs.bg == bg;
}

}  // namespace

void append_sgr(std::string& out, const Attrs* from, const Attrs& to) {
    if (from && *from == to) return;
    bool reset = !from || (from->flags & ~to.flags) != 0 || (from->fg != Color{} && to.fg == Color{}) ||
                 (from->bg != Color{} && to.bg == Color{});
    Attrs base = reset ? Attrs{} : *from;
    std::string params = reset ? "0" : "";
    for (auto [flag, on] : FLAG_PARAMS)
        if (to.has(flag) && !base.has(flag)) add_param(params, on);
    if (to.fg != base.fg) add_color(params, to.fg, true);
    if (to.bg != base.bg) add_color(params, to.bg, false);
    out += "\x1b[";
    out += params;
    out += 'm';
}

Attrs append_row_formatted(std::string& out, std::span<const Cell> row) {
    size_t end = row.size();
    while (end > 0 && row[end - 1].is_blank() && row[end - 1].attrs.is_default()) --end;
    Attrs cur;
    for (size_t c = 0; c < end; ++c) {
        if (is_tail(row, c)) continue;
        append_sgr(out, &cur, row[c].attrs);
        cur = row[c].attrs;
        append_cell(out, row, c);
    }
    return cur;
}

}  // namespace screen_detail

using screen_detail::append_cup;

void append_cursor_position(std::string& out, int row, int col) { append_cup(out, row, col); }
using screen_detail::append_row_formatted;
using screen_detail::append_sgr;

namespace {

void append_row_line(std::string& out, std::span<const Cell> row) {
    Attrs end = append_row_formatted(out, row);
    if (!end.is_default()) out += "\x1b[0m";
}

bool row_is_blank(std::span<const Cell> row) {
    return std::all_of(row.begin(), row.end(), [](const Cell& c) { return c.is_blank() && c.attrs.is_default(); });
}

void append_grid(std::string& out, const screen_detail::Grid& g, std::vector<Cell>& scratch) {
    out += "\x1b[0m\x1b[H\x1b[2J";
    scratch.resize(size_t(g.cols()));
    for (int r = 0; r < g.rows(); ++r) {
        g.copy_row(r, scratch.data());
        if (row_is_blank(scratch)) continue;
        append_cup(out, r + 1, 1);
        append_row_line(out, scratch);
    }
}

// Cuts or pads a history line to the screen's width.
void fit(std::vector<Cell>& row, int cols) {
    if (int(row.size()) > cols) {
        row.resize(size_t(cols));
        if (row.back().width == 2) row.back() = screen_detail::blank_cell(row.back().attrs.bg);
    }
    row.resize(size_t(cols), Cell{});
}

}  // namespace

std::string Screen::row_formatted(int row) const {
    std::string out;
    if (row < 0 || row >= rows()) return out;
    m->visible_row(row, m->scratch);
    append_row_formatted(out, m->scratch);
    return out;
}

std::string Screen::pen_formatted() const {
    std::string out;
    Attrs plain;
    append_sgr(out, &plain, m->pen);
    return out;
}

std::string Screen::state_formatted() const {
    std::string out;
    const auto& modes = m->scanner.modes();
    if (!m->cursor_visible) out += "\x1b[?25l";
    append_grid(out, m->main, m->scratch);
    if (m->alt) {
        // The main grid goes under the alternate one, so that leaving the
        // alternate screen later shows what the program will expect.
        append_cup(out, m->main_cursor.row + 1, m->main_cursor.col + 1);
        out += "\x1b[?1049h";
        append_grid(out, *m->alt, m->scratch);
    }
    if (modes.application_keypad) out += "\x1b=";
    if (modes.application_cursor_keys) out += "\x1b[?1h";
    if (modes.bracketed_paste) out += "\x1b[?2004h";
    switch (modes.mouse) {
    case MouseMode::None: break;
    case MouseMode::Press: out += "\x1b[?9h"; break;
    case MouseMode::PressRelease: out += "\x1b[?1000h"; break;
    case MouseMode::ButtonMotion: out += "\x1b[?1002h"; break;
    case MouseMode::AnyMotion: out += "\x1b[?1003h"; break;
    }
    switch (modes.encoding) {
    case MouseEncoding::Default: break;
    case MouseEncoding::Utf8: out += "\x1b[?1005h"; break;
    case MouseEncoding::Sgr: out += "\x1b[?1006h"; break;
    }
    if (!modes.autowrap) out += "\x1b[?7l";
    if (modes.region_top != 0) {
        // The region as libvterm keeps it: clamped, and dropped when empty.
        int rows = this->rows();
        int top = int(std::min<uint32_t>(std::max<uint32_t>(modes.region_top, 1) - 1, uint32_t(rows)));
        int bottom = modes.region_bottom == 0 ? rows : int(std::min<uint32_t>(modes.region_bottom, uint32_t(rows)));
        if (bottom > top && !(top == 0 && bottom == rows)) {
            out += "\x1b[" + std::to_string(top + 1) + ';' + std::to_string(bottom) + 'r';
        }
    }
    auto cur = m->cursor();
    append_cup(out, cur.row + 1, cur.col + 1);
    out += "\x1b[0m";
    out += pen_formatted();
    if (modes.g0_line_drawing) out += "\x1b(0";
    return out;
}

std::string Screen::history_formatted(size_t max_lines) const {
    std::string out;
    const auto& history = m->history;
    const int rows = this->rows(), cols = this->cols();
    size_t total = history.size();
    size_t r = std::min(total, max_lines);
    std::vector<Cell> line;
    while (r > 0) {
        size_t k = std::min(size_t(rows), r);
        out += "\x1b[0m\x1b[H";
        for (size_t i = 1; i <= k; ++i) {
            history.line(total - r + i - 1, line);
            fit(line, cols);
            append_cup(out, int(i), 1);
            append_row_formatted(out, line);
            out += "\x1b[0m";
        }
        append_cup(out, rows, 1);
        out.append(k, '\n');
        r -= k;
    }
    return out;
}

std::string Screen::peer_redraw() const { return history_formatted(2000) + state_formatted(); }

// ---- row difference ---------------------------------------------------------------

std::string row_diff(std::span<const Cell> old_row, std::span<const Cell> new_row, int row, int col_offset) {
    // Unchanged cells shorter than this between two changes are rewritten
    // rather than jumped over: a cursor position costs about as much.
    constexpr size_t GAP = 4;
    const size_t n = new_row.size();
    auto old_at = [&](size_t c) { return c < old_row.size() ? old_row[c] : Cell{}; };
    auto same = [&](size_t c) { return new_row[c] == old_at(c); };

    // The blank tail that one ESC [ K can draw.
    size_t tail = n;
    Color tail_bg = n > 0 ? new_row[n - 1].attrs.bg : Color{};
    while (tail > 0 && screen_detail::is_erased_blank(new_row[tail - 1], tail_bg)) --tail;

    std::string out;
    std::optional<Attrs> cur;
    size_t c = 0;
    while (c < tail) {
        if (same(c)) {
            ++c;
            continue;
        }
        size_t start = c;
        if (new_row[start].width == 0 && start > 0) --start;  // start at the left half
        size_t end = c + 1;
        size_t last_change = c;
        for (size_t i = end; i < tail && i - last_change <= GAP; ++i)
            if (!same(i)) last_change = i;
        end = last_change + 1;
        if (end < n && new_row[end].width == 0) ++end;  // finish a wide character
        append_cup(out, row + 1, int(start) + 1 + col_offset);
        for (size_t i = start; i < end; ++i) {
            if (screen_detail::is_tail(new_row, i)) continue;
            append_sgr(out, cur ? &*cur : nullptr, new_row[i].attrs);
            cur = new_row[i].attrs;
            screen_detail::append_cell(out, new_row, i);
        }
        c = end;
    }
    size_t first = std::max(tail, c);
    while (first < n && same(first)) ++first;
    if (first < n) {
        append_cup(out, row + 1, int(first) + 1 + col_offset);
        Attrs erase;
        erase.bg = tail_bg;
        append_sgr(out, cur ? &*cur : nullptr, erase);
        out += "\x1b[K";
    }
    return out;
}

std::string row_diff(const ScreenImage* old_image, const ScreenImage& now, int row, int col_offset) {
    if (row < 0 || row >= now.rows) return {};
    std::span<const Cell> old_row;
    if (old_image && old_image->rows == now.rows && old_image->cols == now.cols) old_row = old_image->row(row);
    return row_diff(old_row, now.row(row), row, col_offset);
}

std::string row_diff(const Screen* old_screen, const Screen& now, int row, int col_offset) {
    if (row < 0 || row >= now.rows()) return {};
    std::vector<Cell> old_row;
    if (old_screen && old_screen->rows() == now.rows() && old_screen->cols() == now.cols())
        old_screen->row_cells(row, old_row);
    return row_diff(old_row, now.row_cells(row), row, col_offset);
}

}  // namespace ruk
