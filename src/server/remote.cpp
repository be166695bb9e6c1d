#include "server/remote.h"

#include "server/server.h"

namespace ruk {

// FIXME: remote links are not built yet, so no request can be sent.
bool request_move_window(Server&, MachineId, WindowId, uint32_t) { return false; }

// FIXME: remote links are not built yet, so no request can be sent.
bool request_rename_window(Server&, MachineId, WindowId, std::optional<std::string>) { return false; }

// FIXME: remote links are not built yet, so no request can be sent.
bool request_new_window(Server&, MachineId) { return false; }

// FIXME: remote links are not built yet, so no input can be sent.
bool send_remote_input(Server&, MachineId, WindowId, std::span<const uint8_t>) { return false; }

}  // namespace ruk
