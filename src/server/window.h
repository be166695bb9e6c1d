// A local window: one program in a pseudo terminal, its screen, and what the
// server knows of the agent in it.
#pragma once

#include <optional>
#include <string>

#include "agents/agent.h"
#include "server/events.h"

namespace ruk {

struct Window {
    WindowId id = 0;
    uint32_t number = 0;
    std::optional<std::string> name;
    bool name_is_default = false;
    bool started_as_agent = false;
    std::optional<uint64_t> agent_start_deadline;  // tick

    std::optional<Agent> agent;
};

}  // namespace ruk
