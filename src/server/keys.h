// What the attached client types: the prefix key and its commands, mouse and
// focus reports, the keys of open views; everything else goes to the window.
#pragma once

#include <span>
#include <cstdint>

namespace ruk {

struct Server;

void handle_input(Server& server, std::span<const uint8_t> bytes);

}  // namespace ruk
