#include "screen/grid.h"

#include <algorithm>
#include <cstring>

#include "screen/cells.h"

namespace ruk::screen_detail {

Grid::Grid(int rows, int cols)
    : m_rows(std::max(rows, 1)),
      m_cols(std::max(cols, 1)),
      m_map(size_t(m_rows)),
      m_meta(size_t(m_rows)),
      m_cells(size_t(m_rows) * size_t(m_cols)) {
    for (int i = 0; i < m_rows; ++i) m_map[size_t(i)] = i;
}

Grid::RowView Grid::row(int r) const {
    int p = phys(r);
    return {cells(p), int(m_meta[size_t(p)].used), m_meta[size_t(p)].fill};
}

Cell Grid::cell(int r, int c) const {
    auto v = row(r);
    return c < v.used ? v.cells[c] : blank_cell(v.fill);
}

void Grid::copy_row(int r, Cell* out) const {
    auto v = row(r);
    std::copy(v.cells, v.cells + v.used, out);
    std::fill(out + v.used, out + m_cols, blank_cell(v.fill));
}

bool Grid::row_is_blank(int r) const {
    auto v = row(r);
    if (v.fill != Color{}) return false;
    return std::all_of(v.cells, v.cells + v.used, [](const Cell& c) { return c.is_blank() && c.attrs.is_default(); });
}

void Grid::materialize(int p, int upto) {
    Meta& m = m_meta[size_t(p)];
    if (int(m.used) >= upto) return;
    std::fill(cells(p) + m.used, cells(p) + upto, blank_cell(m.fill));
    m.used = uint32_t(upto);
}

void Grid::repair(int p, int c) {
    Cell* row = cells(p);
    const int used = int(m_meta[size_t(p)].used);
    // Beyond `used` every cell is a plain blank, which needs no repair.
    if (c <= 0) {
        if (used > 0 && row[0].width == 0) row[0] = blank_cell(row[0].attrs.bg);
        return;
    }
    if (c > used) return;
    const bool left_is_head = row[c - 1].width == 2;
    const bool right_is_tail = c < used && row[c].width == 0;
    if (left_is_head && !right_is_tail) row[c - 1] = blank_cell(row[c - 1].attrs.bg);
    if (right_is_tail && !left_is_head) row[c] = blank_cell(row[c].attrs.bg);
}

void Grid::put_slow(int r, int c, uint32_t ch, int width, const Attrs& attrs) {
    if (r < 0 || r >= m_rows || c < 0 || c >= m_cols) return;
    int p = phys(r);
    width = width == 2 && c + 1 < m_cols ? 2 : 1;
    Cell* row = cells(p);
    materialize(p, c + width);
    int used = int(m_meta[size_t(p)].used);
    // Overwriting half of a wide character blanks its other half.
    if (row[c].width == 0 && c > 0) row[c - 1] = blank_cell(row[c - 1].attrs.bg);
    int last = c + width - 1;
    if (row[last].width == 2 && last + 1 < used) row[last + 1] = blank_cell(row[last + 1].attrs.bg);
    row[c] = Cell{ch, attrs, uint8_t(width)};
    if (width == 2) row[c + 1] = Cell{' ', attrs, 0};
}

void Grid::erase(int r, int c0, int c1, Color bg) {
    if (r < 0 || r >= m_rows) return;
    c0 = std::max(c0, 0);
    c1 = std::min(c1, m_cols);
    if (c0 >= c1) return;
    int p = phys(r);
    Meta& m = m_meta[size_t(p)];
    if (c1 == m_cols) {
        materialize(p, c0);
        m.used = uint32_t(c0);
        m.fill = bg;
        repair(p, c0);
        return;
    }
    materialize(p, c1);
    std::fill(cells(p) + c0, cells(p) + c1, blank_cell(bg));
    repair(p, c0);
    repair(p, c1);
}

void Grid::clear(int r, Color bg) {
    Meta& m = m_meta[size_t(phys(r))];
    m.used = 0;
    m.fill = bg;
}

void Grid::scroll_up(int top, int bottom, int n, Color bg) {
    top = std::max(top, 0);
    bottom = std::min(bottom, m_rows);
    if (n <= 0 || top >= bottom) return;
    if (n >= bottom - top) {
        for (int r = top; r < bottom; ++r) clear(r, bg);
        return;
    }
    if (top == 0 && bottom == m_rows) {
        m_base = (m_base + n) % m_rows;
    } else {
        for (int r = top; r + n < bottom; ++r) {
            int a = (m_base + r) % m_rows, b = (m_base + r + n) % m_rows;
            std::swap(m_map[size_t(a)], m_map[size_t(b)]);
        }
    }
    for (int r = bottom - n; r < bottom; ++r) clear(r, bg);
}

void Grid::scroll_down(int top, int bottom, int n, Color bg) {
    top = std::max(top, 0);
    bottom = std::min(bottom, m_rows);
    if (n <= 0 || top >= bottom) return;
    if (n >= bottom - top) {
        for (int r = top; r < bottom; ++r) clear(r, bg);
        return;
    }
    if (top == 0 && bottom == m_rows) {
        m_base = (m_base + m_rows - n) % m_rows;
    } else {
        for (int r = bottom - 1; r - n >= top; --r) {
            int a = (m_base + r) % m_rows, b = (m_base + r - n) % m_rows;
            std::swap(m_map[size_t(a)], m_map[size_t(b)]);
        }
    }
    for (int r = top; r < top + n; ++r) clear(r, bg);
}

void Grid::move_rect(int dest_row, int dest_col, int src_row, int src_col, int rows, int cols) {
    // Clip to the grid; libvterm only asks for rectangles inside it.
    if (rows <= 0 || cols <= 0) return;
    if (dest_row < 0 || src_row < 0 || dest_col < 0 || src_col < 0) return;
    rows = std::min({rows, m_rows - dest_row, m_rows - src_row});
    cols = std::min({cols, m_cols - dest_col, m_cols - src_col});
    if (rows <= 0 || cols <= 0) return;
    auto copy_one = [&](int i) {
        int dp = phys(dest_row + i), sp = phys(src_row + i);
        materialize(sp, src_col + cols);
        materialize(dp, dest_col + cols);
        std::memmove(static_cast<void*>(cells(dp) + dest_col), cells(sp) + src_col, size_t(cols) * sizeof(Cell));
        repair(dp, dest_col);
        repair(dp, dest_col + cols);
    };
    if (dest_row > src_row) {
        for (int i = rows - 1; i >= 0; --i) copy_one(i);
    } else {
        for (int i = 0; i < rows; ++i) copy_one(i);
    }
}

void Grid::set_row(int r, const Cell* src, int count) {
    if (r < 0 || r >= m_rows) return;
    int p = phys(r);
    count = std::clamp(count, 0, m_cols);
    std::copy(src, src + count, cells(p));
    m_meta[size_t(p)] = {uint32_t(count), Color{}};
    repair(p, m_cols);
    repair(p, count);
}

Grid Grid::reshaped(int rows, int cols, int first) const {
    Grid g(rows, cols);
    for (int i = 0; i < g.m_rows; ++i) {
        int from = first + i;
        if (from < 0 || from >= m_rows) continue;
        auto v = row(from);
        int n = std::min(v.used, g.m_cols);
        std::copy(v.cells, v.cells + n, g.cells(i));
        g.m_meta[size_t(i)] = {uint32_t(n), v.fill};
        g.repair(i, g.m_cols);
    }
    return g;
}

}  // namespace ruk::screen_detail
