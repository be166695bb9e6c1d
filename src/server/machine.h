// Another machine whose windows this server shows, reached over ssh. Its
// window list is a copy of what its server last published; numbers, names
// and ids there are that server's business.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/peer.h"
#include "server/events.h"

namespace ruk {

struct Machine {
    MachineId id = 0;
    std::string host;               // as given to connect, maybe with a user part
    std::string command = "ruk";    // how to run ruk there
    uint8_t colour = 0;
    bool connected = false;         // welcomed over a live link
    std::optional<std::string> status;  // shown instead of its agents: "connecting…", the last failure
    std::vector<std::string> features;
    uint64_t build = 0;             // from the welcome; 0 until one arrived
    std::string release;            // its release, "0.1.4"; empty: it reported none
    std::vector<protocol::WindowInfo> windows;  // in number order, as published
};

}  // namespace ruk
