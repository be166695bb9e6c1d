// The inside of a Screen, shared by screen.cpp (feeding, libvterm's
// callbacks, resizing, reading) and format.cpp (escape-sequence output).
#pragma once

#include <vterm.h>

#include <memory>
#include <string>
#include <vector>

#include "screen/grid.h"
#include "screen/query_scanner.h"
#include "screen/screen.h"
#include "screen/scrollback.h"

namespace ruk {

struct Screen::Impl {
    Impl(int rows, int cols, size_t scrollback_lines, Kind kind);
    uint64_t generation = 0;  // grows with every change a reader could see
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    void feed(std::span<const uint8_t> bytes);
    void write_vterm(const uint8_t* bytes, size_t count);
    void write_vterm_piece(const uint8_t* bytes, size_t count);
    void answer(screen_detail::Query query);
    void keep_cursor_on_screen();
    void set_alternate(bool on);
    void resize(int rows, int cols, VTermPos* delta);
    void push_history(int count);
    void visible_row(int row, std::vector<Cell>& out) const;
    CursorPos cursor() const;
    size_t history_lines() const { return alt ? 0 : history.size(); }

    screen_detail::Grid& active() { return alt ? *alt : main; }
    const screen_detail::Grid& active() const { return alt ? *alt : main; }

    VTerm* vt = nullptr;
    VTermState* state = nullptr;
    Kind kind;
    screen_detail::QueryScanner scanner;
    screen_detail::Grid main;
    std::unique_ptr<screen_detail::Grid> alt;  // set while the alternate screen is active
    screen_detail::History history;
    size_t offset = 0;
    Attrs vterm_pen;  // the pen as libvterm reports it
    uint8_t extras = 0;  // faint and concealed, which libvterm drops, as the scanner saw them
    Attrs pen;           // vterm_pen plus extras: what the next character gets
    bool cursor_visible = true;
    CursorPos main_cursor;  // the cursor when the alternate screen was entered
    std::string replies;
    std::string utf8_carry;  // an unfinished UTF-8 character held back from libvterm
    mutable std::vector<Cell> scratch;
};

namespace screen_detail {

// Appends the SGR sequence that changes the terminal's attributes from `from`
// (null: unknown) to `to`; nothing when they are equal.
void append_sgr(std::string& out, const Attrs* from, const Attrs& to);
// Appends a row's cells as text with SGR sequences, starting from reset
// attributes; trailing default blanks are left out. Returns the attributes
// in force at the end.
Attrs append_row_formatted(std::string& out, std::span<const Cell> row);

}  // namespace screen_detail

}  // namespace ruk
