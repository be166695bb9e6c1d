#include "agents/detect.h"

#include <unordered_set>

namespace ruk {
namespace {

// A tree that changes while it is walked could in theory loop through a
// reused pid; the walk visits every process once and gives up past this.
constexpr size_t MAX_PROCESSES_PER_WINDOW = 4096;

bool ends_with_exe(std::string_view name) {
    if (name.size() < 4) return false;
    const std::string_view tail = name.substr(name.size() - 4);
    return tail[0] == '.' && (tail[1] | 0x20) == 'e' && (tail[2] | 0x20) == 'x' && (tail[3] | 0x20) == 'e';
}

constexpr std::string_view INTERPRETERS[] = {"node", "deno", "bun", "bunx", "npx"};

// A script run by a JavaScript interpreter: the packages of the agents that
// ship as scripts, or a script named after an agent.
std::optional<Runtime> runtime_of_script(std::string script) {
    for (char& c : script)
        if (c == '\\') c = '/';
    if (script.find("@anthropic-ai/claude-code") != std::string::npos) return Runtime::Claude;
    if (script.find("@openai/codex") != std::string::npos) return Runtime::Codex;
    if (script.find("/pi-coding-agent/") != std::string::npos) return Runtime::Pi;
    std::string_view name = program_file_name(script);
    if (name.ends_with(".js"))
        name.remove_suffix(3);
    else if (name.ends_with(".mjs"))
        name.remove_suffix(4);
    return runtime_of_name(name);
}

}  // namespace

std::string_view program_file_name(std::string_view path) {
    const size_t slash = path.find_last_of("/\\");
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (ends_with_exe(name)) name.remove_suffix(4);
    return name;
}

std::optional<Runtime> examine(pid_t pid, const ProcessProbe& probe) {
    if (const auto executable = probe.executable(pid))
        if (auto kind = runtime_of_name(program_file_name(*executable))) return kind;
    // The command line is read only when the executable did not decide.
    const auto command_line = probe.command_line(pid);
    if (!command_line || command_line->empty()) return std::nullopt;
    const std::string_view program = program_file_name((*command_line)[0]);
    if (auto kind = runtime_of_name(program)) return kind;
    if (command_line->size() >= 2)
        for (std::string_view interpreter : INTERPRETERS)
            if (program == interpreter) return runtime_of_script((*command_line)[1]);
    return std::nullopt;
}

std::optional<DetectedAgent> detect_agent(const ProcessTree& tree, pid_t root, pid_t foreground,
                                          const ProcessProbe& probe) {
    struct Match {
        pid_t pid;
        Runtime kind;
    };
    std::vector<Match> matches;
    std::vector<pid_t> stack{root};
    std::unordered_set<pid_t> seen;
    while (!stack.empty() && seen.size() < MAX_PROCESSES_PER_WINDOW) {
        const pid_t pid = stack.back();
        stack.pop_back();
        if (pid <= 0 || !seen.insert(pid).second) continue;
        if (auto kind = examine(pid, probe)) {
            matches.push_back({pid, *kind});
            continue;
        }
        const auto& children = tree.children(pid);
        // Pushed largest first, so the smallest id is taken next.
        stack.insert(stack.end(), children.rbegin(), children.rend());
    }
    if (matches.empty()) return std::nullopt;
    Match chosen = matches.front();
    for (const auto& m : matches)
        if (m.pid == foreground) {
            chosen = m;
            break;
        }
    return DetectedAgent{chosen.kind, chosen.pid, probe.cwd(chosen.pid)};
}

}  // namespace ruk
