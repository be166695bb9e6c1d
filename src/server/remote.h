// Requests that this server sends over a remote machine's link on its user's
// behalf. Each returns false when the request could not be sent.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "server/events.h"

namespace ruk {

struct Server;

// Asks the machine to give its window `window` the number `number`.
bool request_move_window(Server& server, MachineId machine, WindowId window, uint32_t number);

// Asks the machine to rename its window `window`; no name gives it back its
// default name.
bool request_rename_window(Server& server, MachineId machine, WindowId window, std::optional<std::string> name);

// Asks the machine to open a new shell window.
bool request_new_window(Server& server, MachineId machine);

// Types the bytes into the machine's window `window`.
bool send_remote_input(Server& server, MachineId machine, WindowId window, std::span<const uint8_t> bytes);

}  // namespace ruk
