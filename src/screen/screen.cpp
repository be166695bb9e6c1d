// Feeding a screen and reading it back. libvterm's state layer calls us for
// every glyph, scroll, move and erase, and we keep the cells ourselves (its
// own screen layer copies the whole screen for each scrolled line). Its
// answers to queries go nowhere: the scanner finds the queries, and each block
// is handed to libvterm in pieces that end right after a query, so the cursor
// is read exactly where the program asked.
#include "screen/screen_impl.h"

#include <algorithm>
#include <utility>

#include "screen/cells.h"

namespace ruk {

using screen_detail::blank_cell;
using screen_detail::Grid;
using screen_detail::Query;

namespace {

constexpr int MAX_ROWS = 1000;
constexpr int MAX_COLS = 2000;

int clamp_rows(int rows) { return std::clamp(rows, 1, MAX_ROWS); }
int clamp_cols(int cols) { return std::clamp(cols, 1, MAX_COLS); }

Screen::Impl& impl(void* user) { return *static_cast<Screen::Impl*>(user); }

Color color_from(const VTermColor& c, bool foreground) {
    if (foreground ? VTERM_COLOR_IS_DEFAULT_FG(&c) : VTERM_COLOR_IS_DEFAULT_BG(&c)) return {};
    if (VTERM_COLOR_IS_INDEXED(&c)) return Color::indexed(c.indexed.idx);
    return Color::rgb(c.rgb.red, c.rgb.green, c.rgb.blue);
}

uint32_t sane_char(uint32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0xFFFD;
    return c;
}

int on_putglyph(VTermGlyphInfo* info, VTermPos pos, void* user) {
    auto& s = impl(user);
    uint32_t chars[VTERM_MAX_CHARS_PER_CELL + 1];
    int n = 0;
    // A combining character with nothing before it to combine with (after a
    // cursor movement) is kept on a blank, which is also how it would be
    // parsed back when the row is written out.
    if (info->width == 0) chars[n++] = ' ';
    for (int i = 0; i < VTERM_MAX_CHARS_PER_CELL && info->chars[i] != 0; ++i) chars[n++] = sane_char(info->chars[i]);
    uint32_t ch = n == 1 ? chars[0] : screen_detail::cell_char(chars, n);
    s.active().put(pos.row, pos.col, ch, info->width >= 2 ? 2 : 1, s.pen);
    return 1;
}

int on_scrollrect(VTermRect rect, int downward, int rightward, void* user) {
    auto& s = impl(user);
    Grid& g = s.active();
    // Sideways and partial-width scrolls come back as moverect plus erase.
    if (rightward != 0 || rect.start_col != 0 || rect.end_col != g.cols()) return 0;
    if (downward > 0) {
        if (rect.start_row == 0 && !s.alt) s.push_history(std::min(downward, rect.end_row - rect.start_row));
        g.scroll_up(rect.start_row, rect.end_row, downward, s.pen.bg);
    } else if (downward < 0) {
        g.scroll_down(rect.start_row, rect.end_row, -downward, s.pen.bg);
    }
    return 1;
}

int on_moverect(VTermRect dest, VTermRect src, void* user) {
    impl(user).active().move_rect(dest.start_row, dest.start_col, src.start_row, src.start_col,
                                  dest.end_row - dest.start_row, dest.end_col - dest.start_col);
    return 1;
}

int on_erase(VTermRect rect, int /*selective*/, void* user) {
    auto& s = impl(user);
    for (int r = rect.start_row; r < rect.end_row; ++r) s.active().erase(r, rect.start_col, rect.end_col, s.pen.bg);
    return 1;
}

int on_setpenattr(VTermAttr attr, VTermValue* val, void* user) {
    auto& s = impl(user);
    Attrs& p = s.vterm_pen;
    auto flag = [&](uint8_t bit, bool on) { p.flags = on ? uint8_t(p.flags | bit) : uint8_t(p.flags & ~bit); };
    switch (attr) {
    case VTERM_ATTR_BOLD: flag(attr::BOLD, val->boolean != 0); break;
    case VTERM_ATTR_UNDERLINE: flag(attr::UNDERLINE, val->number != 0); break;
    case VTERM_ATTR_ITALIC: flag(attr::ITALIC, val->boolean != 0); break;
    case VTERM_ATTR_BLINK: flag(attr::BLINK, val->boolean != 0); break;
    case VTERM_ATTR_REVERSE: flag(attr::INVERSE, val->boolean != 0); break;
    case VTERM_ATTR_STRIKE: flag(attr::STRIKE, val->boolean != 0); break;
    case VTERM_ATTR_FOREGROUND: p.fg = color_from(val->color, true); break;
    case VTERM_ATTR_BACKGROUND: p.bg = color_from(val->color, false); break;
    default: break;
    }
    s.pen = p;
    s.pen.flags |= s.extras;
    return 1;
}

int on_settermprop(VTermProp prop, VTermValue* val, void* user) {
    auto& s = impl(user);
    switch (prop) {
    case VTERM_PROP_CURSORVISIBLE: s.cursor_visible = val->boolean != 0; break;
    case VTERM_PROP_ALTSCREEN: s.set_alternate(val->boolean != 0); break;
    default: break;
    }
    return 1;
}

int on_resize(int rows, int cols, VTermPos* delta, void* user) {
    impl(user).resize(rows, cols, delta);
    return 1;
}

void drop_output(const char*, size_t, void*) {}

const VTermStateCallbacks CALLBACKS = {
    .putglyph = on_putglyph,
    .movecursor = nullptr,
    .scrollrect = on_scrollrect,
    .moverect = on_moverect,
    .erase = on_erase,
    .initpen = nullptr,
    .setpenattr = on_setpenattr,
    .settermprop = on_settermprop,
    .bell = nullptr,
    .resize = on_resize,
    .setlineinfo = nullptr,
};

void append_text(std::string& out, const std::vector<Cell>& row) {
    size_t start = out.size();
    for (const Cell& c : row) c.append_text(out);
    size_t end = out.size();
    while (end > start && out[end - 1] == ' ') --end;
    out.resize(end);
}

// Rows to take off the top when a grid shrinks to `rows`: blank rows below
// the cursor are dropped from the bottom first.
int rows_off_top(const Grid& g, int rows, int cursor_row) {
    int excess = g.rows() - rows;
    for (int r = g.rows() - 1; excess > 0 && r > cursor_row && g.row_is_blank(r); --r) --excess;
    return std::max(excess, 0);
}

}  // namespace

Screen::Impl::Impl(int rows, int cols, size_t scrollback_lines, Kind k)
    : kind(k), scanner(k == Kind::Local), main(rows, cols), history(scrollback_lines) {
    vt = vterm_new(rows, cols);
    vterm_set_utf8(vt, 1);
    vterm_output_set_callback(vt, drop_output, nullptr);
    state = vterm_obtain_state(vt);
    vterm_state_set_callbacks(state, &CALLBACKS, this);
    vterm_state_reset(state, 1);
}

Screen::Impl::~Impl() { vterm_free(vt); }

void Screen::Impl::feed(std::span<const uint8_t> bytes) {
    size_t fed = 0;
    while (fed < bytes.size()) {
        auto stop = scanner.scan(bytes, fed);
        if (!stop.discard) write_vterm(bytes.data() + fed, stop.end - fed);
        if (stop.drop_carry) utf8_carry.clear();
        fed = std::min(stop.end + stop.skip, bytes.size());
        if (stop.cancel) vterm_input_write(vt, "\x18", 1);
        if (stop.pen_changed) {
            extras = scanner.pen_extras();
            pen = vterm_pen;
            pen.flags |= extras;
        }
        if (stop.alternate != 0 || (stop.hard_reset && alt)) {
            // libvterm ignores mode 47 and leaves the alternate screen on a
            // hard reset without telling us; switch it through libvterm so
            // that both agree.
            VTermValue on;
            on.boolean = stop.alternate > 0;
            vterm_state_set_termprop(state, VTERM_PROP_ALTSCREEN, &on);
        }
        if (stop.cursor_restored) keep_cursor_on_screen();
        if (stop.query != Query::None) answer(stop.query);
    }
}

namespace {

size_t utf8_length(uint8_t lead) {
    if (lead >= 0xF0 && lead < 0xF8) return 4;
    if (lead >= 0xE0 && lead < 0xF0) return 3;
    if (lead >= 0xC0 && lead < 0xE0) return 2;
    return 1;
}
bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// Bytes at the end that start a UTF-8 character without finishing it.
size_t unfinished_utf8(const uint8_t* p, size_t n) {
    size_t k = 0;
    while (k < n && k < 3 && is_continuation(p[n - 1 - k])) ++k;
    if (k == n) return 0;
    return utf8_length(p[n - 1 - k]) > k + 1 ? k + 1 : 0;
}

}  // namespace

// Two habits of libvterm shape how bytes reach it. It decodes a UTF-8
// character that a write leaves unfinished as U+FFFD instead of waiting for
// the rest, and output blocks end anywhere: so an unfinished character is held
// back and handed over whole with the next bytes. And it decodes the text of
// a write into an array on the stack, four bytes per byte: so writes are cut
// into pieces of at most 4 KiB.
void Screen::Impl::write_vterm(const uint8_t* p, size_t n) {
    constexpr size_t PIECE = 4096;
    while (n > PIECE) {
        write_vterm_piece(p, PIECE);
        p += PIECE;
        n -= PIECE;
    }
    write_vterm_piece(p, n);
}

void Screen::Impl::write_vterm_piece(const uint8_t* p, size_t n) {
    if (!utf8_carry.empty()) {
        size_t need = utf8_length(uint8_t(utf8_carry[0])) - utf8_carry.size();
        size_t take = 0;
        while (take < need && take < n && is_continuation(p[take])) ++take;
        utf8_carry.append(reinterpret_cast<const char*>(p), take);
        p += take;
        n -= take;
        if (take < need && n == 0) return;  // still unfinished: wait for more
        if (take < need) utf8_carry = "\xEF\xBF\xBD";  // cut short: one replacement character
        vterm_input_write(vt, utf8_carry.data(), utf8_carry.size());
        utf8_carry.clear();
    }
    size_t keep = unfinished_utf8(p, n);
    if (n > keep) vterm_input_write(vt, reinterpret_cast<const char*>(p), n - keep);
    utf8_carry.assign(reinterpret_cast<const char*>(p + n - keep), keep);
}

void Screen::Impl::answer(Query query) {
    auto pos = cursor();
    auto report = [&](const char* lead) {
        replies += lead;
        replies += std::to_string(pos.row + 1);
        replies += ';';
        replies += std::to_string(pos.col + 1);
        replies += 'R';
    };
    switch (query) {
    case Query::PrimaryAttributes: replies += "\x1b[?62;22c"; break;
    case Query::SecondaryAttributes: replies += "\x1b[>1;10;0c"; break;
    case Query::DeviceStatus: replies += "\x1b[0n"; break;
    case Query::CursorPosition: report("\x1b["); break;
    case Query::CursorPositionPrivate: report("\x1b[?"); break;
    case Query::None: break;
    }
}

// libvterm restores a saved cursor as it was, also beyond the edges of a
// screen that has shrunk since, and then reads and writes its per-row data
// out of bounds.
void Screen::Impl::keep_cursor_on_screen() {
    VTermPos p;
    vterm_state_get_cursorpos(state, &p);
    if (p.row >= 0 && p.row < main.rows() && p.col >= 0 && p.col < main.cols()) return;
    auto fixed = cursor();
    std::string cup = "\x1b[" + std::to_string(fixed.row + 1) + ";" + std::to_string(fixed.col + 1) + "H";
    vterm_input_write(vt, cup.data(), cup.size());
}

CursorPos Screen::Impl::cursor() const {
    VTermPos p;
    vterm_state_get_cursorpos(state, &p);
    return {std::clamp(p.row, 0, main.rows() - 1), std::clamp(p.col, 0, main.cols() - 1)};
}

void Screen::Impl::set_alternate(bool on) {
    if (on && !alt) {
        main_cursor = cursor();
        alt = std::make_unique<Grid>(main.rows(), main.cols());
        offset = 0;
    } else if (!on && alt) {
        alt.reset();
    }
}

void Screen::Impl::push_history(int count) {
    for (int r = 0; r < count && r < main.rows(); ++r) {
        auto v = main.row(r);
        history.push(v.cells, v.used, v.fill, main.cols());
    }
    if (offset > 0) offset = std::min(offset + size_t(count), history.size());
}

void Screen::Impl::resize(int rows, int cols, VTermPos* delta) {
    CursorPos cur;
    {
        VTermPos p;
        vterm_state_get_cursorpos(state, &p);
        cur = {std::clamp(p.row, 0, main.rows() - 1), std::clamp(p.col, 0, main.cols() - 1)};
    }
    int main_cursor_row = alt ? main_cursor.row : cur.row;
    int top = rows_off_top(main, rows, main_cursor_row);
    if (top > 0) push_history(top);
    int pull = 0;
    if (!alt && rows > main.rows()) pull = int(std::min(size_t(rows - main.rows()), history.size()));
    main = main.reshaped(rows, cols, top - pull);
    for (int i = pull - 1; i >= 0; --i) {
        history.pop_newest(scratch);
        main.set_row(i, scratch.data(), int(scratch.size()));
    }
    offset = std::min(offset, history_lines());
    int main_shift = pull - top;
    if (alt) {
        int alt_top = rows_off_top(*alt, rows, cur.row);
        *alt = alt->reshaped(rows, cols, alt_top);
        main_cursor.row = std::clamp(main_cursor.row + main_shift, 0, rows - 1);
        main_cursor.col = std::clamp(main_cursor.col, 0, cols - 1);
        if (delta) delta->row = -alt_top;
    } else if (delta) {
        delta->row = main_shift;
    }
}

void Screen::Impl::visible_row(int r, std::vector<Cell>& out) const {
    const int cols = main.cols();
    size_t h = history_lines();
    size_t o = std::min(offset, h);
    if (size_t(r) < o) {
        history.line(h - o + size_t(r), out);
        if (int(out.size()) > cols) {
            out.resize(size_t(cols));
            if (out.back().width == 2) out.back() = blank_cell(out.back().attrs.bg);
        }
        out.resize(size_t(cols), Cell{});
        return;
    }
    out.resize(size_t(cols));
    active().copy_row(r - int(o), out.data());
}

// ---- Screen ----------------------------------------------------------------------

ScreenSize clamp_remote_size(uint32_t rows, uint32_t cols) {
    return {uint16_t(std::clamp<uint32_t>(rows, 1, MAX_ROWS)), uint16_t(std::clamp<uint32_t>(cols, 1, MAX_COLS))};
}

Screen::Screen(int rows, int cols, size_t scrollback_lines, Kind kind)
    : m(std::make_unique<Impl>(clamp_rows(rows), clamp_cols(cols), scrollback_lines, kind)) {}
Screen::~Screen() = default;
Screen::Screen(Screen&&) noexcept = default;
Screen& Screen::operator=(Screen&&) noexcept = default;

void Screen::feed(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return;
    ++m->generation;
    m->feed(bytes);
}

uint64_t Screen::generation() const { return m->generation; }

std::string Screen::take_replies() { return std::exchange(m->replies, std::string()); }

void Screen::resize(int rows, int cols) {
    rows = clamp_rows(rows);
    cols = clamp_cols(cols);
    if (rows == m->main.rows() && cols == m->main.cols()) return;
    ++m->generation;
    vterm_set_size(m->vt, rows, cols);
    // libvterm keeps a scroll region and left and right margins that no
    // longer fit a smaller screen, and later scrolls them with negative sizes
    // (memory corruption). As xterm does, a resize resets them; the cursor
    // stays where it is. A sequence that the program left unfinished is
    // cancelled first, in libvterm and in the scanner alike.
    if (!m->scanner.in_ground()) {
        vterm_input_write(m->vt, "\x18", 1);
        m->scanner.cancel();
    }
    m->scanner.reset_margins();
    auto cur = m->cursor();
    std::string reset = "\x1b[?69l\x1b[r\x1b[" + std::to_string(cur.row + 1) + ";" + std::to_string(cur.col + 1) + "H";
    vterm_input_write(m->vt, reset.data(), reset.size());
}

int Screen::rows() const { return m->main.rows(); }
int Screen::cols() const { return m->main.cols(); }
CursorPos Screen::cursor() const { return m->cursor(); }
bool Screen::cursor_hidden() const { return !m->cursor_visible; }
bool Screen::alternate_screen() const { return m->alt != nullptr; }
bool Screen::application_cursor_keys() const { return m->scanner.modes().application_cursor_keys; }
bool Screen::application_keypad() const { return m->scanner.modes().application_keypad; }
bool Screen::bracketed_paste() const { return m->scanner.modes().bracketed_paste; }
MouseMode Screen::mouse_mode() const { return m->scanner.modes().mouse; }
MouseEncoding Screen::mouse_encoding() const { return m->scanner.modes().encoding; }

size_t Screen::history_lines() const { return m->history_lines(); }
size_t Screen::scrollback_offset() const { return m->offset; }
void Screen::set_scrollback_offset(size_t offset) {
    offset = std::min(offset, m->history_lines());
    if (offset != m->offset) ++m->generation;
    m->offset = offset;
}

void Screen::row_cells(int row, std::vector<Cell>& out) const {
    if (row < 0 || row >= rows()) {
        out.assign(size_t(cols()), Cell{});
        return;
    }
    m->visible_row(row, out);
}

std::vector<Cell> Screen::row_cells(int row) const {
    std::vector<Cell> out;
    row_cells(row, out);
    return out;
}

Cell Screen::cell(int row, int col) const {
    if (row < 0 || row >= rows() || col < 0 || col >= cols()) return {};
    m->visible_row(row, m->scratch);
    return m->scratch[size_t(col)];
}

ScreenImage Screen::image() const {
    ScreenImage img;
    img.rows = rows();
    img.cols = cols();
    img.cells.reserve(size_t(img.rows) * size_t(img.cols));
    for (int r = 0; r < img.rows; ++r) {
        m->visible_row(r, m->scratch);
        img.cells.insert(img.cells.end(), m->scratch.begin(), m->scratch.end());
    }
    img.cursor = cursor();
    img.cursor_hidden = cursor_hidden();
    return img;
}

std::vector<std::string> Screen::visible_rows_text() const {
    std::vector<std::string> out(static_cast<size_t>(rows()));
    for (int r = 0; r < rows(); ++r) {
        m->visible_row(r, m->scratch);
        append_text(out[size_t(r)], m->scratch);
    }
    return out;
}

std::vector<std::string> Screen::bottom_rows_text(int n) const {
    const Grid& g = m->active();
    n = std::clamp(n, 0, g.rows());
    std::vector<std::string> out(static_cast<size_t>(n));
    m->scratch.resize(size_t(g.cols()));
    for (int i = 0; i < n; ++i) {
        g.copy_row(g.rows() - n + i, m->scratch.data());
        append_text(out[size_t(i)], m->scratch);
    }
    return out;
}

}  // namespace ruk
