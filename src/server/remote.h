// Requests that this server sends over a remote machine's link on its user's
// behalf. Each returns false when the request could not be sent: the machine
// is gone, not welcomed, or its link refused the frame.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "protocol/messages.h"
#include "server/events.h"

namespace ruk {

struct Server;
struct Machine;

// Queues the message on the machine's link; only a welcomed machine takes one.
bool send_to_machine(Machine& machine, const protocol::ClientMessage& message);

// Asks the machine for the output of its window `window` (none: of no
// window) in a pane of rows by cols.
bool request_view(Machine& machine, std::optional<WindowId> window, uint16_t rows, uint16_t cols);

// Asks the machine to give its window `window` the number `number`.
bool request_move_window(Server& server, MachineId machine, WindowId window, uint32_t number);

// Asks the machine to rename its window `window`; no name gives it back its
// default name.
bool request_rename_window(Server& server, MachineId machine, WindowId window, std::optional<std::string> name);

// Asks the machine to open a new shell window, near the viewed window when
// that is one of its own; the window it makes becomes the view.
bool request_new_window(Server& server, MachineId machine);

// Types the bytes into the machine's window `window`.
bool send_remote_input(Server& server, MachineId machine, WindowId window, std::span<const uint8_t> bytes);

}  // namespace ruk
