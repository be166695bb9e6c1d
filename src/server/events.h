// Everything that reaches the event loop. Events carry ids, never pointers:
// the window or connection they name may be gone by the time they are handled.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
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
struct PeerRequestEvent { ConnId conn; protocol::PeerRequest request; };
struct PeerInput { ConnId conn; WindowId window; std::vector<uint8_t> bytes; };
struct RemoteMessage { uint64_t link; MachineId machine; protocol::ServerMessage message; };
struct RemoteClosed { uint64_t link; MachineId machine; };
struct Release { std::string version; uint64_t build = 0; std::string line; };  // line: version, commit and build time
struct UpdateChecked { std::optional<Release> release; std::string error; };
}  // namespace event

using ServerEvent = std::variant<event::Attach, event::Input, event::Resize, event::Disconnected, event::KillServer,
                                 event::Command, event::WindowOutput, event::WindowExited, event::Tick,
                                 event::PeerHello, event::PeerRequestEvent, event::PeerInput,
                                 event::RemoteMessage, event::RemoteClosed, event::UpdateChecked>;

// What the loop waits on: events sent by the server's other threads, and the
// descriptors it reads itself while it waits (the windows' terminals, the
// connections). A key and its echo therefore reach the loop without a
// hand-over between threads, and a program that writes faster than the loop
// parses waits at its terminal instead of in a queue. Any thread may send or
// watch; one thread receives, and the readers run on it.
class EventChannel {
public:
    // Called on the receiving thread when the watched descriptor can be read:
    // appends the events that the read made, and returns false once the
    // source has ended, which forgets it.
    using Reader = std::function<bool(std::vector<ServerEvent>& out)>;

    EventChannel();
    ~EventChannel();
    EventChannel(const EventChannel&) = delete;
    EventChannel& operator=(const EventChannel&) = delete;

    // False once the channel is closed; the event is dropped.
    bool send(ServerEvent event);
    // Blocks until an event arrives; nothing once closed and empty.
    std::optional<ServerEvent> recv();
    std::optional<ServerEvent> recv_until(std::chrono::steady_clock::time_point deadline);
    // Only what is already queued; nothing is read.
    std::optional<ServerEvent> try_recv();
    void close();
    bool closed() const;

    // Reads `fd` with `reader` whenever it is readable, until the reader says
    // it has ended or it is forgotten. The reader owns the descriptor. The
    // key names the source for forget.
    uint64_t watch(int fd, Reader reader);
    // Stops reading and destroys the reader. Receiving thread only.
    void forget(uint64_t key);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// A window's terminal as a source: one read of at most `block` bytes is a
// WindowOutput, the end of output (a master reads EIO once the last program
// on the other side has closed it) is the window's exit.
EventChannel::Reader window_output_reader(WindowId window, Fd terminal, size_t block);

using EventSender = std::shared_ptr<EventChannel>;

}  // namespace ruk
