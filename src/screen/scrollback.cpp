#include "screen/scrollback.h"

#include <cstring>
#include <string_view>

#include "screen/cells.h"

namespace ruk::screen_detail {

namespace {

uint32_t get_varint(const uint8_t* s, size_t n, size_t& i) {
    uint32_t v = 0;
    for (int shift = 0; i < n && shift < 35; shift += 7) {
        uint8_t b = s[i++];
        v |= uint32_t(b & 0x7f) << shift;
        if ((b & 0x80) == 0) break;
    }
    return v;
}

Color get_color(const uint8_t* s, size_t n, size_t& i) {
    if (i >= n) return {};
    uint8_t kind = s[i++];
    if (kind == uint8_t(Color::Kind::Indexed) && i < n) return Color::indexed(s[i++]);
    if (kind == uint8_t(Color::Kind::Rgb) && i + 3 <= n) {
        i += 3;
        return Color::rgb(s[i - 3], s[i - 2], s[i - 1]);
    }
    return {};
}

// Encodes a line as runs of columns that share attributes: a two-byte column
// count (patched once the run ends), the attributes, then the characters. A
// wide character is marked by a 0 before it (no cell holds a NUL); a right
// half without its left half is stored as a blank. Writes through a pointer
// into a buffer sized for the worst case, since this runs for every line that
// scrolls off.
class LineWriter {
public:
    // Worst case per column: a run of its own (2 + 9 bytes) and a marked
    // five-byte character.
    static constexpr size_t MAX_PER_COLUMN = 17;

    LineWriter(std::string& buffer, int cols) : m_buffer(buffer) {
        size_t need = size_t(cols) * MAX_PER_COLUMN + 16;
        if (m_buffer.size() < need) m_buffer.resize(need);
        m_begin = m_out = reinterpret_cast<uint8_t*>(m_buffer.data());
    }
    void cell(const Cell& c, bool wide) {
        if (!m_run || !(c.attrs == m_attrs)) start(c.attrs);
        if (wide) *m_out++ = 0;
        uint32_t v = c.width == 0 ? uint32_t(' ') : c.ch;
        while (v >= 0x80) {
            *m_out++ = uint8_t(0x80 | (v & 0x7f));
            v >>= 7;
        }
        *m_out++ = uint8_t(v);
        m_columns += wide ? 2 : 1;
    }
    // The encoded line.
    std::string_view finish() {
        close();
        return {reinterpret_cast<const char*>(m_begin), size_t(m_out - m_begin)};
    }

private:
    void close() {
        if (!m_run) return;
        m_run[0] = uint8_t(m_columns & 0xff);
        m_run[1] = uint8_t(m_columns >> 8);
        m_run = nullptr;
    }
    void color(Color c) {
        *m_out++ = uint8_t(c.kind);
        if (c.kind == Color::Kind::Indexed) *m_out++ = c.r;
        if (c.kind == Color::Kind::Rgb) {
            *m_out++ = c.r;
            *m_out++ = c.g;
            *m_out++ = c.b;
        }
    }
    void start(const Attrs& a) {
        close();
        m_run = m_out;
        m_out += 2;
        m_attrs = a;
        m_columns = 0;
        *m_out++ = a.flags;
        color(a.fg);
        color(a.bg);
    }

    std::string& m_buffer;
    uint8_t* m_begin;
    uint8_t* m_out;
    uint8_t* m_run = nullptr;  // the open run's column count
    Attrs m_attrs;
    uint32_t m_columns = 0;
};

}  // namespace

void History::push(const Cell* cells, int used, Color fill, int cols) {
    if (m_capacity == 0) return;
    if (used > cols) used = cols;
    // Trailing default blanks carry nothing.
    int end = used;
    if (fill == Color{}) {
        while (end > 0 && cells[end - 1].is_blank() && cells[end - 1].attrs.is_default()) --end;
    }
    LineWriter w(m_scratch, cols);
    for (int c = 0; c < end;) {
        const Cell& cell = cells[c];
        bool wide = cell.width == 2 && c + 1 < used && cells[c + 1].width == 0;
        w.cell(cell, wide);
        c += wide ? 2 : 1;
    }
    if (fill != Color{}) {
        Cell blank = blank_cell(fill);
        for (int c = used; c < cols; ++c) w.cell(blank, false);
    }
    std::string_view line = w.finish();

    if (m_lines.size() >= m_capacity) drop_oldest();
    size_t n = line.size();
    if (m_chunks.empty() || m_chunks.back().size - m_chunks.back().used < n) {
        Chunk c;
        c.size = n > CHUNK ? n : CHUNK;
        c.data = std::make_unique_for_overwrite<uint8_t[]>(c.size);
        m_chunks.push_back(std::move(c));
    }
    Chunk& chunk = m_chunks.back();
    std::memcpy(chunk.data.get() + chunk.used, line.data(), n);
    m_lines.push_back({m_first_chunk + uint32_t(m_chunks.size() - 1), uint32_t(chunk.used), uint32_t(n)});
    chunk.used += n;
    ++chunk.lines;
}

void History::drop_oldest() {
    if (m_lines.empty()) return;
    Chunk& chunk = chunk_of(m_lines.front());
    m_lines.pop_front();
    --chunk.lines;
    // The newest chunk stays for the next lines even when it is empty.
    while (m_chunks.size() > 1 && m_chunks.front().lines == 0) {
        m_chunks.pop_front();
        ++m_first_chunk;
    }
}

void History::line(size_t index, std::vector<Cell>& out) const {
    out.clear();
    if (index >= m_lines.size()) return;
    const LineRef& ref = m_lines[index];
    const uint8_t* s = chunk_of(ref).data.get() + ref.offset;
    const size_t n = ref.length;
    size_t i = 0;
    while (i + 2 <= n) {
        uint32_t columns = uint32_t(s[i]) | uint32_t(s[i + 1]) << 8;
        i += 2;
        Cell cell;
        cell.attrs.flags = i < n ? s[i++] : 0;
        cell.attrs.fg = get_color(s, n, i);
        cell.attrs.bg = get_color(s, n, i);
        for (uint32_t done = 0; done < columns && i < n;) {
            bool wide = s[i] == 0;
            if (wide) ++i;
            cell.ch = get_varint(s, n, i);
            cell.width = wide ? 2 : 1;
            out.push_back(cell);
            if (wide) out.push_back(Cell{' ', cell.attrs, 0});
            done += wide ? 2 : 1;
        }
    }
}

void History::pop_newest(std::vector<Cell>& out) {
    out.clear();
    if (m_lines.empty()) return;
    line(m_lines.size() - 1, out);
    LineRef ref = m_lines.back();
    m_lines.pop_back();
    Chunk& chunk = chunk_of(ref);
    --chunk.lines;
    if (ref.offset + ref.length == chunk.used) chunk.used = ref.offset;  // reuse the space
    while (m_chunks.size() > 1 && m_chunks.back().lines == 0) m_chunks.pop_back();
    if (m_lines.empty()) {
        m_chunks.clear();
        m_first_chunk = 0;
    }
}

}  // namespace ruk::screen_detail
