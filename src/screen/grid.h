// One grid of cells (the main or the alternate screen) as a ring of rows: a
// full-screen scroll moves the ring's start instead of the cells, and a scroll
// inside a region swaps row indices. A row stores only the cells up to the
// last one written; the rest of it is blank with the row's fill background,
// so clearing a row costs nothing per column.
//
// Every operation keeps wide characters whole: a left half is always followed
// by its right half, and breaking one blanks the other.
#pragma once

#include <cstdint>
#include <vector>

#include "screen/screen.h"

namespace ruk::screen_detail {

class Grid {
public:
    Grid(int rows, int cols);

    int rows() const { return m_rows; }
    int cols() const { return m_cols; }

    // Row r: cells [0, used) are stored, the others are blank on `fill`.
    struct RowView {
        const Cell* cells;
        int used;
        Color fill;
    };
    RowView row(int r) const;
    Cell cell(int r, int c) const;
    // Exactly cols() cells of row r.
    void copy_row(int r, Cell* out) const;
    bool row_is_blank(int r) const;

    // A character of width 1 or 2 at (r, c); width 2 also writes the right
    // half. Appending a narrow character to a row, by far the most common
    // case, is done inline.
    void put(int r, int c, uint32_t ch, int width, const Attrs& attrs) {
        if (width == 1 && unsigned(r) < unsigned(m_rows) && unsigned(c) < unsigned(m_cols)) {
            int p = phys(r);
            Meta& m = m_meta[size_t(p)];
            Cell* row = cells(p);
            if (int(m.used) == c && (c == 0 || row[c - 1].width != 2)) {
                row[c].ch = ch;
                row[c].attrs = attrs;
                row[c].width = 1;
                m.used = uint32_t(c + 1);
                return;
            }
        }
        put_slow(r, c, ch, width, attrs);
    }
    // Blanks columns [c0, c1) of row r on background bg.
    void erase(int r, int c0, int c1, Color bg);
    // Rows [top, bottom) move up (or down) by n; the rows that come free are
    // blank on bg.
    void scroll_up(int top, int bottom, int n, Color bg);
    void scroll_down(int top, int bottom, int n, Color bg);
    // Copies the cells of rectangle src to dest (same size), overlap allowed.
    void move_rect(int dest_row, int dest_col, int src_row, int src_col, int rows, int cols);
    // Replaces row r by the given cells (at most cols() of them), the rest blank.
    void set_row(int r, const Cell* cells, int count);

    // A grid of the new size whose row i is this grid's row first + i (blank
    // where that row does not exist), cut or padded to the new width.
    Grid reshaped(int rows, int cols, int first) const;

private:
    struct Meta {
        uint32_t used = 0;
        Color fill;
    };
    int phys(int r) const {
        int i = m_base + r;
        if (i >= m_rows) i -= m_rows;
        return m_map[size_t(i)];
    }
    Cell* cells(int p) { return m_cells.data() + size_t(p) * size_t(m_cols); }
    const Cell* cells(int p) const { return m_cells.data() + size_t(p) * size_t(m_cols); }
    void put_slow(int r, int c, uint32_t ch, int width, const Attrs& attrs);
    // Stores the row's blank cells explicitly up to column upto.
    void materialize(int p, int upto);
    void clear(int r, Color bg);
    // Makes the pair around the boundary between columns c - 1 and c whole.
    void repair(int p, int c);

    int m_rows, m_cols;
    int m_base = 0;
    std::vector<int> m_map;  // ring position -> physical row
    std::vector<Meta> m_meta;  // per physical row
    std::vector<Cell> m_cells;  // physical rows of m_cols cells
};

}  // namespace ruk::screen_detail
