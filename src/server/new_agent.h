// `ruk new`: an agent in a new window, here or on another machine. The event
// loop hands it the words after "new" with the caller's process, because the
// agent starts in the caller's directory and the answer may come later (from
// another machine) than the command's turn on the loop.
#pragma once

#include <sys/types.h>

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "util/fd.h"
#include "util/result.h"

namespace ruk {

struct Server;

inline constexpr std::string_view NEW_USAGE = "new RUNTIME [--name NAME] [--on HOST] [-- AGENT-ARGS...]";

struct NewAgentRequest {
    std::string runtime;
    std::vector<std::string> args;  // for the agent, unchanged
    std::optional<std::string> name;
    std::optional<std::string> host;
    bool operator==(const NewAgentRequest&) const = default;
};

// The words after "new".
Result<NewAgentRequest> parse_new_args(std::span<const std::string> words);

// Starts the agent and answers on `stream`, at once or (for another
// machine) when that machine answers.
void run_new_command(Server& server, std::span<const std::string> words, std::optional<pid_t> caller, Fd stream);

// The answer when it is known at once: the text of a started agent, or the
// failure. `caller` is the process whose directory a local agent gets. An
// agent on another machine is asked of that machine, which answers on
// `stream` (taken from the caller); the result is then nullopt.
Result<std::optional<std::string>> start_new_agent(Server& server, std::span<const std::string> words,
                                                   std::optional<pid_t> caller, Fd* stream = nullptr);

}  // namespace ruk
