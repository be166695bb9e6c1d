// The status message: a one-line note in the status bar (a prompt's result,
// a machine that cannot be reached) that disappears by itself after a while.
#pragma once

#include <cstdint>
#include <string>

namespace ruk {

struct Server;

inline constexpr uint64_t STATUS_MESSAGE_TICKS = 6;  // three seconds

// Shows `text` until STATUS_MESSAGE_TICKS ticks from now; a later message
// replaces it.
void set_status_message(Server& server, std::string text);

// The message while it has not expired, else nullptr.
const std::string* current_status_message(const Server& server);

// Forgets a message whose time is up (the tick pass calls it).
void expire_status_message(Server& server);

}  // namespace ruk
