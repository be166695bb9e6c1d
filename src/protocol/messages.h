// The two message sets of the local link: what clients (and other servers'
// bridges) send to a server, and what a server sends back. Encoders produce
// whole frames; decoders refuse malformed payloads with the texts the link's
// readers log, and decode text payloads leniently (invalid UTF-8 becomes
// U+FFFD). The peer frames carry JSON bodies; a body the peer-protocol reader
// refuses makes the frame undecodable.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "protocol/frame.h"
#include "protocol/peer.h"
#include "util/result.h"

namespace ruk::protocol {

using Bytes = std::vector<uint8_t>;

namespace client {
struct Attach { uint16_t rows = 0, cols = 0; bool operator==(const Attach&) const = default; };
struct Input { Bytes bytes; bool operator==(const Input&) const = default; };
struct Resize { uint16_t rows = 0, cols = 0; bool operator==(const Resize&) const = default; };
struct KillServer { bool operator==(const KillServer&) const = default; };
struct Command { std::vector<std::string> args; bool operator==(const Command&) const = default; };
// A peer-protocol request; its JSON text is the frame's payload.
struct Peer { PeerRequest request; bool operator==(const Peer&) const = default; };
struct PeerInput { uint32_t window = 0; Bytes bytes; bool operator==(const PeerInput&) const = default; };
}  // namespace client

using ClientMessage = std::variant<client::Attach, client::Input, client::Resize, client::KillServer,
                                   client::Command, client::Peer, client::PeerInput>;

namespace server {
struct Output { Bytes bytes; bool operator==(const Output&) const = default; };
struct Detach { std::string reason; bool operator==(const Detach&) const = default; };
struct Reply { bool ok = false; std::string text; bool operator==(const Reply&) const = default; };
// A peer-protocol event; its JSON text is the frame's payload.
struct Peer { PeerEvent event; bool operator==(const Peer&) const = default; };
struct Size { uint16_t rows = 0, cols = 0; bool operator==(const Size&) const = default; };
struct PeerOutput { uint32_t window = 0; std::optional<Size> size; Bytes bytes; bool operator==(const PeerOutput&) const = default; };
}  // namespace server

using ServerMessage = std::variant<server::Output, server::Detach, server::Reply, server::Peer, server::PeerOutput>;

// Tags, in the order of the variants above (index + 1).
enum class ClientTag : uint8_t { Attach = 1, Input, Resize, KillServer, Command, Peer, PeerInput };
enum class ServerTag : uint8_t { Output = 1, Detach, Reply, Peer, PeerOutput };

Result<ClientMessage> decode_client_message(const Frame& frame);
Result<ServerMessage> decode_server_message(const Frame& frame);

// Whole frames.
Bytes encode_client_message(const ClientMessage& message);
Bytes encode_server_message(const ServerMessage& message);

// nullopt at a clean end of stream.
Result<std::optional<ClientMessage>> read_client_message(FrameReader& reader);
Result<std::optional<ServerMessage>> read_server_message(FrameReader& reader);
Result<void> write_client_message(int fd, const ClientMessage& message);
Result<void> write_server_message(int fd, const ServerMessage& message);

}  // namespace ruk::protocol
