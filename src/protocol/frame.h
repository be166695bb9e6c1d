// The local link's frame: a tag byte, a 32-bit big-endian payload length and
// the payload. The same framing runs over the server's socket and over the ssh
// pipe to another machine. A length above 64 MiB is refused before anything
// is allocated.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "util/result.h"

namespace ruk::protocol {

inline constexpr uint32_t MAX_FRAME_PAYLOAD = 67108864;  // 64 MiB
inline constexpr size_t FRAME_HEAD = 5;

struct Frame {
    uint8_t tag = 0;
    std::vector<uint8_t> payload;
};

// Reads frames from a descriptor through a buffer of its own, so small frames
// cost one read each at most. Not shared between threads.
class FrameReader {
public:
    explicit FrameReader(int fd) : m_fd(fd) {}
    // A frame; nullopt at a clean end of stream (nothing read of a next head);
    // an error for a stream cut inside a frame, a bad length or a read error.
    Result<std::optional<Frame>> next();

private:
    Result<size_t> fill(size_t at_least);
    int m_fd;
    std::vector<uint8_t> m_buffer;
    size_t m_start = 0;  // first unread byte in m_buffer
    size_t m_end = 0;    // one past the last byte read into m_buffer
};

// Frames out of bytes that arrive in pieces, for a reader that must never
// block: it pushes what one read gave and takes the frames that are whole.
class FrameAssembler {
public:
    void push(std::span<const uint8_t> bytes);
    // The next whole frame; nullopt while it is still incomplete; an error
    // for a length above the limit (the stream is then unusable).
    Result<std::optional<Frame>> next();
    // True while part of a frame is held: the stream must not end here.
    bool partial() const { return m_start < m_bytes.size(); }

private:
    std::vector<uint8_t> m_bytes;
    size_t m_start = 0;  // first byte not yet taken
};

// One read_frame without a buffer of its own (exact reads).
Result<std::optional<Frame>> read_frame(int fd);

// The whole frame in one buffer, ready to write in one go.
std::vector<uint8_t> encode_frame(uint8_t tag, std::span<const uint8_t> payload);
// Writes every byte, repeating short and interrupted writes. A socket whose
// other end is gone gives an error instead of raising SIGPIPE; other
// descriptors (the ssh pipes) are written plainly.
Result<void> write_whole(int fd, std::span<const uint8_t> bytes);
// Builds the frame and writes it whole, repeating short and interrupted writes.
Result<void> write_frame(int fd, uint8_t tag, std::span<const uint8_t> payload);

}  // namespace ruk::protocol
