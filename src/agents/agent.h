// What the server knows of the agent in a window: which runtime, which
// process, its state and where it works.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/peer.h"
#include "util/result.h"

namespace ruk {

enum class Runtime { Claude, Codex, Opencode, Pi, Grok, Other };
enum class AgentState { Idle, Working, NeedsInput };

// "claude", "codex", "opencode", "pi", "grok"; "agent" for another kind.
std::string_view runtime_name(Runtime runtime);
// The runtime a program name stands for (case matters): the five names, and
// the release builds "codex-..." and "grok-linux-...".
std::optional<Runtime> runtime_of_name(std::string_view name);
// The runtime named exactly, for the `new` command; the message names the
// choices otherwise.
Result<Runtime> parse_runtime(std::string_view text);

struct Agent {
    Runtime runtime = Runtime::Other;
    pid_t pid = 0;
    uint64_t start_time = 0;
    AgentState state = AgentState::Idle;
    // Went idle after working while nobody looked; cleared when viewed.
    bool done = false;
    // Idle readings seen since the agent last showed it was working (0 or
    // 1): one idle screen is not yet the end of the work.
    uint8_t idle_ticks = 0;
    // The agent process's directory as the kernel gives it (bytes, maybe not
    // UTF-8); nullopt when it cannot be read.
    std::optional<std::string> cwd;
    std::optional<protocol::Location> location;
};

}  // namespace ruk
