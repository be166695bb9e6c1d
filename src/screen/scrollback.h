// The lines that scrolled off the top of the main grid, oldest first, at most
// `capacity` of them. Each line is a compact byte string: runs of columns that
// share attributes, the attributes once per run, then each character as a
// variable-length number (one byte for ASCII); trailing default blanks are
// dropped. The strings are packed one after another into 64 KiB chunks, which
// are freed once their last line has been dropped, so a line of 100 plain
// characters costs about 120 bytes and no allocation of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "screen/screen.h"

namespace ruk::screen_detail {

class History {
public:
    explicit History(size_t capacity) : m_capacity(capacity) {}

    size_t size() const { return m_lines.size(); }
    size_t capacity() const { return m_capacity; }

    // Appends a row: cells [0, used), then blanks on `fill` up to cols. The
    // oldest line is dropped when the history is full.
    void push(const Cell* cells, int used, Color fill, int cols);
    // Line i (0: oldest) without its trailing default blanks.
    void line(size_t i, std::vector<Cell>& out) const;
    // Removes the newest line and returns it.
    void pop_newest(std::vector<Cell>& out);

private:
    static constexpr size_t CHUNK = 64 * 1024;
    struct Chunk {
        std::unique_ptr<uint8_t[]> data;
        size_t size = 0, used = 0;
        size_t lines = 0;  // lines still stored here
    };
    struct LineRef {
        uint32_t chunk;  // sequence number of its chunk
        uint32_t offset, length;
    };
    void drop_oldest();
    Chunk& chunk_of(const LineRef& ref) { return m_chunks[ref.chunk - m_first_chunk]; }
    const Chunk& chunk_of(const LineRef& ref) const { return m_chunks[ref.chunk - m_first_chunk]; }

    size_t m_capacity;
    std::deque<LineRef> m_lines;
    std::deque<Chunk> m_chunks;
    uint32_t m_first_chunk = 0;  // sequence number of m_chunks.front()
    std::string m_scratch;
};

}  // namespace ruk::screen_detail
