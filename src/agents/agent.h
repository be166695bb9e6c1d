// What the server knows of the agent in a window: which runtime, which
// process, its state and where it works.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "protocol/peer.h"

namespace ruk {

enum class Runtime { Claude, Codex, Opencode, Pi, Grok, Other };
enum class AgentState { Idle, Working, NeedsInput };

// "claude", "codex", "opencode", "pi", "grok"; "agent" for another kind.
std::string_view runtime_name(Runtime runtime);

struct Agent {
    Runtime runtime = Runtime::Other;
    pid_t pid = 0;
    uint64_t start_time = 0;
    AgentState state = AgentState::Idle;
    // Went idle after working while nobody looked; cleared when viewed.
    bool done = false;
    std::optional<protocol::Location> location;
};

}  // namespace ruk
