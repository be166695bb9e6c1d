// The terminal screen of a window: what a program drew (cells with their
// attributes, the cursor, the input modes it switched on) and the lines that
// scrolled off the top, kept up to date by feeding it the program's output.
//
// libvterm runs the escape-sequence state machine; the grids, the history and
// every way of reading the screen back (rows, text, escape-sequence formatting,
// row differences, the full redraw for a peer) are ours. A small scanner of our
// own looks at each block before libvterm does: it tracks the input modes that
// libvterm keeps to itself and answers the terminal queries that a program may
// ask, with the cursor as it stands when the query is parsed.
//
// A Screen belongs to one thread (the event loop); it is movable, not copyable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ruk {

struct Color {
    enum class Kind : uint8_t { Default, Indexed, Rgb };
    Kind kind = Kind::Default;
    uint8_t r = 0, g = 0, b = 0;  // Indexed: the palette index is r

    static constexpr Color indexed(uint8_t index) { return {Kind::Indexed, index, 0, 0}; }
    static constexpr Color rgb(uint8_t red, uint8_t green, uint8_t blue) { return {Kind::Rgb, red, green, blue}; }
    uint8_t index() const { return r; }
    bool operator==(const Color&) const = default;
};

// Bits of Attrs::flags.
namespace attr {
constexpr uint8_t BOLD = 1, DIM = 2, ITALIC = 4, UNDERLINE = 8, BLINK = 16, INVERSE = 32, HIDDEN = 64,
                  STRIKE = 128;
}

struct Attrs {
    Color fg, bg;
    uint8_t flags = 0;  // attr::BOLD | ...

    bool has(uint8_t flag) const { return (flags & flag) != 0; }
    bool is_default() const { return flags == 0 && fg.kind == Color::Kind::Default && bg.kind == Color::Kind::Default; }
    bool operator==(const Attrs&) const = default;
};

struct Cell {
    // A code point, or (from CLUSTER_BASE on) a base character with the
    // combining characters that followed it. A blank cell holds ' '.
    uint32_t ch = ' ';
    Attrs attrs;
    // 1: one column; 2: the left half of a wide character; 0: the right half,
    // which holds no text of its own.
    uint8_t width = 1;

    static constexpr uint32_t CLUSTER_BASE = 0x110000;

    // The UTF-8 text of the cell ("" for the right half of a wide character).
    std::string text() const;
    void append_text(std::string& out) const;
    bool is_blank() const { return ch == ' ' && width == 1; }
    bool operator==(const Cell&) const = default;
};

enum class MouseMode : uint8_t { None, Press, PressRelease, ButtonMotion, AnyMotion };
enum class MouseEncoding : uint8_t { Default, Utf8, Sgr };

struct CursorPos {
    int row = 0, col = 0;  // 0-based
    bool operator==(const CursorPos&) const = default;
};

// A copy of what a screen shows at one moment: enough to diff a later picture
// against it.
struct ScreenImage {
    int rows = 0, cols = 0;
    std::vector<Cell> cells;  // rows * cols, row-major
    CursorPos cursor;
    bool cursor_hidden = false;

    std::span<const Cell> row(int r) const { return {cells.data() + size_t(r) * size_t(cols), size_t(cols)}; }
};

// The size that a remote screen is built with: rows 1..1000, cols 1..2000, 0 taken as 1.
struct ScreenSize {
    uint16_t rows = 1, cols = 1;
    bool operator==(const ScreenSize&) const = default;
};
ScreenSize clamp_remote_size(uint32_t rows, uint32_t cols);

class Screen {
public:
    static constexpr size_t DEFAULT_SCROLLBACK = 10000;

    // Local: the screen of a window of ours; it answers the program's terminal
    // queries (take_replies). Remote: a copy of a window that another machine
    // runs and that answers its program itself; it never replies.
    enum class Kind : uint8_t { Local, Remote };

    // Sizes are clamped to 1..1000 rows and 1..2000 columns (as for a remote
    // screen), so no reported size makes us allocate without bound.
    Screen(int rows, int cols, size_t scrollback_lines = DEFAULT_SCROLLBACK, Kind kind = Kind::Local);
    ~Screen();
    Screen(Screen&&) noexcept;
    Screen& operator=(Screen&&) noexcept;
    Screen(const Screen&) = delete;
    Screen& operator=(const Screen&) = delete;

    // Changes whenever what the screen shows or how it reads may have changed
    // (output, size, offset): equal generations mean an unchanged picture.
    uint64_t generation() const;

    // Parses one block of output. Blocks may end anywhere, even inside an
    // escape sequence or a UTF-8 character.
    void feed(std::span<const uint8_t> bytes);
    void feed(std::string_view bytes) { feed({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}); }

    // The answers owed to the program, in order; empties the buffer.
    std::string take_replies();

    // Both grids take the new size. Lines pushed off the top of the main grid
    // go to the history, and growing brings lines back from it, as terminals do.
    void resize(int rows, int cols);

    int rows() const;
    int cols() const;
    CursorPos cursor() const;
    bool cursor_hidden() const;
    bool alternate_screen() const;
    bool application_cursor_keys() const;
    bool application_keypad() const;
    bool bracketed_paste() const;
    MouseMode mouse_mode() const;
    MouseEncoding mouse_encoding() const;

    // History lines that can be scrolled into view: the largest offset. The
    // alternate grid has no history, so this is 0 while it is active.
    size_t history_lines() const;
    // Lines scrolled back (0: the live screen). Lines that enter the history
    // while the offset is not 0 raise it, so the same lines stay in view.
    size_t scrollback_offset() const;
    void set_scrollback_offset(size_t offset);  // clamped to history_lines()

    // Row r (0-based) as shown at the current offset: exactly cols() cells.
    std::vector<Cell> row_cells(int row) const;
    void row_cells(int row, std::vector<Cell>& out) const;
    Cell cell(int row, int col) const;
    ScreenImage image() const;  // at the current offset

    // Text of each row at the current offset, trailing blanks removed, a wide
    // character once.
    std::vector<std::string> visible_rows_text() const;
    // The last n rows (fewer when the screen is smaller) of the active grid,
    // live, whatever the offset: what the agent-state reading looks at.
    std::vector<std::string> bottom_rows_text(int n) const;

    // Row r at the current offset as text with SGR sequences, from reset
    // attributes; trailing default blanks are left out.
    std::string row_formatted(int row) const;
    // The graphic rendition that the program's next characters get, as one SGR
    // sequence for a terminal whose attributes were just reset ("" when plain).
    std::string pen_formatted() const;
    // Bytes that draw this screen's live state into a fresh screen of the same
    // size: the contents (the main grid beneath the alternate one when that is
    // active), the input modes, scroll region, cursor position, pen and cursor
    // visibility.
    std::string state_formatted() const;
    // The newest min(history, max_lines) history lines, drawn a page at a time
    // at the top of a fresh screen of this size and scrolled into its history
    // with line feeds. The main grid's history is carried even while the
    // alternate screen is active, so that the peer has it once the program
    // leaves that screen.
    std::string history_formatted(size_t max_lines) const;
    // What a peer that starts to view this window needs: up to 2000 history
    // lines followed by the state.
    std::string peer_redraw() const;

    struct Impl;  // screen_impl.h; named here for the libvterm callbacks

private:
    std::unique_ptr<Impl> m;
};

// ESC [ row ; col H, both 1-based.
void append_cursor_position(std::string& out, int row, int col);

// Bytes that turn old_row into new_row on a terminal that shows old_row on
// 0-based row `row`, its first cell at 0-based terminal column col_offset.
// An empty old_row stands for a blank row. Every run of changed cells starts
// with an absolute cursor position ESC [ row ; col H; attributes are never
// assumed at the start. Trailing blanks may be cleared with ESC [ K, so the row
// must reach the terminal's right edge. Empty when the rows are equal.
std::string row_diff(std::span<const Cell> old_row, std::span<const Cell> new_row, int row, int col_offset = 0);
// The same for row r of two images, or two screens at their current offsets,
// of the same size (a null old one: blank).
std::string row_diff(const ScreenImage* old_image, const ScreenImage& now, int row, int col_offset = 0);
std::string row_diff(const Screen* old_screen, const Screen& now, int row, int col_offset = 0);

}  // namespace ruk
