// Frames of the local link. The reader checks the announced length before it
// allocates anything, so a hostile or corrupt head costs nothing; a payload is
// allocated once at its exact size. FrameReader reads ahead into a fixed 64 KiB
// buffer so that a stream of small frames costs about one read per batch, but a
// payload larger than that buffer is read straight into the frame's own vector.
#include "protocol/frame.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "sys/sys.h"

namespace ruk::protocol {

namespace {

constexpr size_t READ_AHEAD = 64 * 1024;

uint32_t head_length(const uint8_t* head) {
    return (uint32_t{head[1]} << 24) | (uint32_t{head[2]} << 16) | (uint32_t{head[3]} << 8) | uint32_t{head[4]};
}


// Reads until the span is full or the stream ends; the count actually read.
Result<size_t> read_up_to(int fd, std::span<uint8_t> out) {
    size_t done = 0;
    while (done < out.size()) {
        const size_t n = RUK_TRY(sys::read_some(fd, out.subspan(done)));
        if (n == 0) break;
        done += n;
    }
    return done;
}

Result<void> read_exact(int fd, std::span<uint8_t> out) {
    const size_t n = RUK_TRY(read_up_to(fd, out));
    if (n < out.size()) return fail("unexpected end of data");
    return {};
}

}  // namespace

Result<size_t> FrameReader::fill(size_t at_least) {
    if (m_buffer.empty()) m_buffer.resize(READ_AHEAD);
    if (m_end - m_start >= at_least) return m_end - m_start;
    // Move what is left to the front so the read has the whole buffer.
    if (m_start > 0) {
        std::memmove(m_buffer.data(), m_buffer.data() + m_start, m_end - m_start);
        m_end -= m_start;
        m_start = 0;
    }
    while (m_end < at_least) {
        const size_t n = RUK_TRY(sys::read_some(m_fd, std::span(m_buffer).subspan(m_end)));
        if (n == 0) break;
        m_end += n;
    }
    return m_end;
}

Result<std::optional<Frame>> FrameReader::next() {
    const size_t have = RUK_TRY(fill(FRAME_HEAD));
    if (have == 0) return std::nullopt;
    if (have < FRAME_HEAD) return fail("unexpected end of data");

    const uint8_t* head = m_buffer.data() + m_start;
    const uint32_t length = head_length(head);
    if (length > MAX_FRAME_PAYLOAD) return fail("frame too large");
    Frame frame{.tag = head[0], .payload = {}};
    m_start += FRAME_HEAD;

    if (length <= READ_AHEAD - FRAME_HEAD) {
        // Fits the buffer beside its head: read ahead as usual.
        const size_t got = RUK_TRY(fill(length));
        if (got < length) return fail("unexpected end of data");
        frame.payload.assign(m_buffer.begin() + m_start, m_buffer.begin() + m_start + length);
        m_start += length;
    } else {
        frame.payload.resize(length);
        const size_t buffered = std::min<size_t>(m_end - m_start, length);
        std::memcpy(frame.payload.data(), m_buffer.data() + m_start, buffered);
        m_start += buffered;
        if (auto done = read_exact(m_fd, std::span(frame.payload).subspan(buffered)); !done)
            return std::unexpected(std::move(done.error()));
    }
    if (m_start == m_end) m_start = m_end = 0;
    return frame;
}

void FrameAssembler::push(std::span<const uint8_t> bytes) {
    // What was taken is dropped before the buffer grows, so it holds at most
    // one frame and one read.
    if (m_start > 0) {
        m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<std::ptrdiff_t>(m_start));
        m_start = 0;
    }
    m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
}

Result<std::optional<Frame>> FrameAssembler::next() {
    const size_t have = m_bytes.size() - m_start;
    if (have < FRAME_HEAD) return std::nullopt;
    const uint8_t* head = m_bytes.data() + m_start;
    const uint32_t length = head_length(head);
    if (length > MAX_FRAME_PAYLOAD) return fail("frame too large");
    if (have - FRAME_HEAD < length) return std::nullopt;
    Frame frame{.tag = head[0], .payload = {}};
    const auto body = m_bytes.begin() + static_cast<std::ptrdiff_t>(m_start + FRAME_HEAD);
    frame.payload.assign(body, body + length);
    m_start += FRAME_HEAD + length;
    if (m_start == m_bytes.size()) {
        m_bytes.clear();
        m_start = 0;
    }
    return frame;
}

Result<std::optional<Frame>> read_frame(int fd) {
    uint8_t head[FRAME_HEAD];
    const size_t n = RUK_TRY(read_up_to(fd, head));
    if (n == 0) return std::nullopt;
    if (n < FRAME_HEAD) return fail("unexpected end of data");
    const uint32_t length = head_length(head);
    if (length > MAX_FRAME_PAYLOAD) return fail("frame too large");
    Frame frame{.tag = head[0], .payload = std::vector<uint8_t>(length)};
    if (auto done = read_exact(fd, frame.payload); !done) return std::unexpected(std::move(done.error()));
    return frame;
}

std::vector<uint8_t> encode_frame(uint8_t tag, std::span<const uint8_t> payload) {
    std::vector<uint8_t> out;
    out.reserve(FRAME_HEAD + payload.size());
    const auto n = static_cast<uint32_t>(payload.size());
    out.push_back(tag);
    out.push_back(static_cast<uint8_t>(n >> 24));
    out.push_back(static_cast<uint8_t>(n >> 16));
    out.push_back(static_cast<uint8_t>(n >> 8));
    out.push_back(static_cast<uint8_t>(n));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Result<void> write_whole(int fd, std::span<const uint8_t> bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n >= 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (errno == EINTR) continue;
        // A pipe (the ssh link) is not a socket: plain writes for the rest.
        if (errno == ENOTSOCK) return sys::write_all(fd, bytes.subspan(done));
        return fail_errno("write");
    }
    return {};
}

Result<void> write_frame(int fd, uint8_t tag, std::span<const uint8_t> payload) {
    return write_whole(fd, encode_frame(tag, payload));
}

}  // namespace ruk::protocol
