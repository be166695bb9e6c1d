// What an agent is doing, read from the bottom of its screen every tick: it
// asks the user something, it shows that it is busy, or neither. The same
// rules serve every runtime; they look for the prompts, hints and spinners
// that the agents draw.
#pragma once

#include <span>
#include <string>

#include "agents/agent.h"

namespace ruk {

class Screen;

// The reading of the last 30 rows of the active grid (the alternate one
// while it is shown), whatever the user scrolled back to.
AgentState screen_state(const Screen& screen);
// The same reading of rows given as text, top to bottom.
AgentState rows_state(std::span<const std::string> rows);

// Takes one reading into the agent's state. Working ends only after two idle
// readings in a row (a redraw can blank the hint for a moment); work that
// ends while nobody is `viewing` the window leaves the agent `done`.
void update_agent_state(Agent& agent, AgentState reading, bool viewing);

}  // namespace ruk
