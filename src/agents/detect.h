// Which agent runs in a window: the first known agent program found walking
// the window's process tree from its root, by executable name or, for agents
// that run under a script interpreter, by the script on the command line.
//
// The walk never enters an agent: what an agent starts (tools, language
// servers, another agent) belongs to it, and skipping it keeps a tick cheap.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agents/agent.h"
#include "procs/process_tree.h"

namespace ruk {

// What detection reads of a process; the system's answers by default, a
// table in tests. Every reader may fail (nullopt): the process then gives no
// runtime, and its children are still looked at.
struct ProcessProbe {
    std::function<std::optional<std::string>(pid_t)> executable = sys::process_executable;
    std::function<std::optional<std::vector<std::string>>(pid_t)> command_line = sys::process_command_line;
    std::function<std::optional<std::string>(pid_t)> cwd = sys::process_cwd;
};

// The last component of a program path (either slash separates), without a
// final ".exe" in any case.
std::string_view program_file_name(std::string_view path);

// The runtime of one process, if it is an agent.
std::optional<Runtime> examine(pid_t pid, const ProcessProbe& probe = {});

struct DetectedAgent {
    Runtime kind = Runtime::Other;
    pid_t pid = 0;
    std::optional<std::string> cwd;  // the kernel's bytes
    bool operator==(const DetectedAgent&) const = default;
};

// The agent in the tree below `root`, depth first with the children in
// ascending order; of several, the one that is the foreground process, else
// the first found.
std::optional<DetectedAgent> detect_agent(const ProcessTree& tree, pid_t root, pid_t foreground,
                                          const ProcessProbe& probe = {});

}  // namespace ruk
