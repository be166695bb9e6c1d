// Everything that reaches the event loop. Events carry ids, never pointers:
// the window or connection they name may be gone by the time they are handled.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "protocol/messages.h"
#include "util/channel.h"
#include "util/fd.h"

namespace ruk {

using ConnId = uint64_t;
using WindowId = uint32_t;
using MachineId = uint32_t;

namespace event {
// `stream` is the loop's own copy of the connection, for answering on it.
struct Attach { ConnId conn; uint16_t rows, cols; Fd stream; };
struct Input { ConnId conn; std::vector<uint8_t> bytes; };
struct Resize { ConnId conn; uint16_t rows, cols; };
struct Disconnected { ConnId conn; };
struct KillServer { Fd stream; };
struct Command { ConnId conn; std::vector<std::string> args; Fd stream; std::optional<pid_t> client_pid; };
struct WindowOutput { WindowId window; std::vector<uint8_t> bytes; };
struct WindowExited { WindowId window; };
struct Tick {};
struct PeerHello { ConnId conn; Fd stream; uint32_t version; };
struct PeerRequestEvent { ConnId conn; std::string request; };  // the JSON text until peers are typed
struct PeerInput { ConnId conn; WindowId window; std::vector<uint8_t> bytes; };
struct RemoteMessage { uint64_t link; MachineId machine; protocol::ServerMessage message; };
struct RemoteClosed { uint64_t link; MachineId machine; };
struct Release { std::string version; uint64_t build = 0; };
struct UpdateChecked { std::optional<Release> release; std::string error; };
}  // namespace event

using ServerEvent = std::variant<event::Attach, event::Input, event::Resize, event::Disconnected, event::KillServer,
                                 event::Command, event::WindowOutput, event::WindowExited, event::Tick,
                                 event::PeerHello, event::PeerRequestEvent, event::PeerInput,
                                 event::RemoteMessage, event::RemoteClosed, event::UpdateChecked>;

using EventChannel = Channel<ServerEvent>;
using EventSender = std::shared_ptr<EventChannel>;

}  // namespace ruk
