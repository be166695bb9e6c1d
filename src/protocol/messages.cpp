// Encoding and decoding of the two message sets. Encoders build the whole
// frame in one buffer sized up front, because Output frames carry every screen
// update and should not be copied twice. Decoders never trust the payload:
// sizes are checked before any field is read.
#include "protocol/messages.h"

#include <string_view>

#include "protocol/peer_json.h"
#include "util/utf8.h"
#include "util/overload.h"

namespace ruk::protocol {

namespace {

// A frame under construction: the head is written first with the final
// payload length, then the payload is appended piece by piece.
class FrameBuilder {
public:
    FrameBuilder(uint8_t tag, size_t payload_size) {
        m_out.reserve(FRAME_HEAD + payload_size);
        m_out.push_back(tag);
        u32(static_cast<uint32_t>(payload_size));
    }
    FrameBuilder& u8(uint8_t v) {
        m_out.push_back(v);
        return *this;
    }
    FrameBuilder& u16(uint16_t v) {
        m_out.push_back(static_cast<uint8_t>(v >> 8));
        m_out.push_back(static_cast<uint8_t>(v));
        return *this;
    }
    FrameBuilder& u32(uint32_t v) {
        u16(static_cast<uint16_t>(v >> 16));
        return u16(static_cast<uint16_t>(v));
    }
    FrameBuilder& bytes(std::span<const uint8_t> b) {
        m_out.insert(m_out.end(), b.begin(), b.end());
        return *this;
    }
    FrameBuilder& text(std::string_view s) {
        m_out.insert(m_out.end(), s.begin(), s.end());
        return *this;
    }
    Bytes done() { return std::move(m_out); }

private:
    Bytes m_out;
};

uint16_t be16(std::span<const uint8_t> p, size_t at) { return static_cast<uint16_t>((p[at] << 8) | p[at + 1]); }
uint32_t be32(std::span<const uint8_t> p, size_t at) {
    return (uint32_t{p[at]} << 24) | (uint32_t{p[at + 1]} << 16) | (uint32_t{p[at + 2]} << 8) | uint32_t{p[at + 3]};
}

constexpr uint8_t tag(ClientTag t) { return static_cast<uint8_t>(t); }
constexpr uint8_t tag(ServerTag t) { return static_cast<uint8_t>(t); }

std::vector<std::string> split_command(std::span<const uint8_t> payload) {
    const std::string text = lenient_utf8(payload);
    std::vector<std::string> args;
    if (text.empty()) return args;
    size_t from = 0;
    while (true) {
        const size_t nul = text.find('\0', from);
        if (nul == std::string::npos) {
            args.push_back(text.substr(from));
            return args;
        }
        args.push_back(text.substr(from, nul - from));
        from = nul + 1;
    }
}

// The decoders take the frame by value so that the readers can move a large
// Input or Output payload into the message instead of copying it.
Result<ClientMessage> decode_client(Frame frame) {
    const std::span<const uint8_t> p = frame.payload;
    switch (frame.tag) {
    case tag(ClientTag::Attach):
    case tag(ClientTag::Resize): {
        if (p.size() != 4) return fail("bad size payload");
        const uint16_t rows = be16(p, 0), cols = be16(p, 2);
        if (frame.tag == tag(ClientTag::Attach)) return client::Attach{rows, cols};
        return client::Resize{rows, cols};
    }
    case tag(ClientTag::Input): return client::Input{std::move(frame.payload)};
    case tag(ClientTag::KillServer): return client::KillServer{};
    case tag(ClientTag::Command): return client::Command{split_command(p)};
    case tag(ClientTag::Peer): return client::Peer{RUK_TRY(decode_peer_request(lenient_utf8(p)))};
    case tag(ClientTag::PeerInput):
        if (p.size() < 4) return fail("short payload");
        return client::PeerInput{be32(p, 0), Bytes(p.begin() + 4, p.end())};
    default: return fail("unknown client message");
    }
}

Result<ServerMessage> decode_server(Frame frame) {
    const std::span<const uint8_t> p = frame.payload;
    switch (frame.tag) {
    case tag(ServerTag::Output): return server::Output{std::move(frame.payload)};
    case tag(ServerTag::Detach): return server::Detach{lenient_utf8(p)};
    case tag(ServerTag::Reply):
        if (p.empty()) return server::Reply{false, ""};
        return server::Reply{p[0] == 1, lenient_utf8(p.subspan(1))};
    case tag(ServerTag::Peer): return server::Peer{RUK_TRY(decode_peer_event(lenient_utf8(p)))};
    case tag(ServerTag::PeerOutput): {
        if (p.size() < 4) return fail("short payload");
        if (p.size() < 9) return fail("short peer output");
        server::PeerOutput out{.window = be32(p, 0), .size = std::nullopt, .bytes = Bytes(p.begin() + 9, p.end())};
        if (p[4] == 1) out.size = server::Size{be16(p, 5), be16(p, 7)};
        return out;
    }
    default: return fail("unknown server message");
    }
}

}  // namespace

Result<ClientMessage> decode_client_message(const Frame& frame) { return decode_client(frame); }
Result<ServerMessage> decode_server_message(const Frame& frame) { return decode_server(frame); }

Bytes encode_client_message(const ClientMessage& message) {
    return std::visit(
        Overload{
            [](const client::Attach& m) {
                return FrameBuilder(tag(ClientTag::Attach), 4).u16(m.rows).u16(m.cols).done();
            },
            [](const client::Input& m) {
                return FrameBuilder(tag(ClientTag::Input), m.bytes.size()).bytes(m.bytes).done();
            },
            [](const client::Resize& m) {
                return FrameBuilder(tag(ClientTag::Resize), 4).u16(m.rows).u16(m.cols).done();
            },
            [](const client::KillServer&) { return FrameBuilder(tag(ClientTag::KillServer), 0).done(); },
            [](const client::Command& m) {
                size_t size = 0;
                for (const auto& a : m.args) size += a.size();
                if (!m.args.empty()) size += m.args.size() - 1;
                FrameBuilder b(tag(ClientTag::Command), size);
                for (size_t i = 0; i < m.args.size(); ++i) {
                    if (i > 0) b.u8(0);
                    b.text(m.args[i]);
                }
                return b.done();
            },
            [](const client::Peer& m) {
                // Text that is not UTF-8 is replaced rather than refused, so encoding cannot fail.
                const std::string json = *encode_peer_request(m.request, InvalidText::Replace);
                return FrameBuilder(tag(ClientTag::Peer), json.size()).text(json).done();
            },
            [](const client::PeerInput& m) {
                return FrameBuilder(tag(ClientTag::PeerInput), 4 + m.bytes.size()).u32(m.window).bytes(m.bytes).done();
            },
        },
        message);
}

Bytes encode_server_message(const ServerMessage& message) {
    return std::visit(
        Overload{
            [](const server::Output& m) {
                return FrameBuilder(tag(ServerTag::Output), m.bytes.size()).bytes(m.bytes).done();
            },
            [](const server::Detach& m) {
                return FrameBuilder(tag(ServerTag::Detach), m.reason.size()).text(m.reason).done();
            },
            [](const server::Reply& m) {
                return FrameBuilder(tag(ServerTag::Reply), 1 + m.text.size()).u8(m.ok ? 1 : 0).text(m.text).done();
            },
            [](const server::Peer& m) {
                const std::string json = *encode_peer_event(m.event, InvalidText::Replace);
                return FrameBuilder(tag(ServerTag::Peer), json.size()).text(json).done();
            },
            [](const server::PeerOutput& m) {
                FrameBuilder b(tag(ServerTag::PeerOutput), 9 + m.bytes.size());
                b.u32(m.window);
                if (m.size) {
                    b.u8(1).u16(m.size->rows).u16(m.size->cols);
                } else {
                    b.u8(0).u16(0).u16(0);
                }
                return b.bytes(m.bytes).done();
            },
        },
        message);
}

Result<std::optional<ClientMessage>> read_client_message(FrameReader& reader) {
    auto frame = RUK_TRY(reader.next());
    if (!frame) return std::nullopt;
    return RUK_TRY(decode_client(std::move(*frame)));
}

Result<std::optional<ServerMessage>> read_server_message(FrameReader& reader) {
    auto frame = RUK_TRY(reader.next());
    if (!frame) return std::nullopt;
    return RUK_TRY(decode_server(std::move(*frame)));
}

Result<void> write_client_message(int fd, const ClientMessage& message) {
    return write_whole(fd, encode_client_message(message));
}

Result<void> write_server_message(int fd, const ServerMessage& message) {
    return write_whole(fd, encode_server_message(message));
}

}  // namespace ruk::protocol
