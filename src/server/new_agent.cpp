// Option parsing is strict: an unknown option is refused rather than passed
// to the agent, because a mistyped "--nmae" would otherwise start an agent
// with a surprising argument. Words for the agent go after "--".
#include "server/new_agent.h"

#include <algorithm>

#include "agents/agent.h"
#include "server/connections.h"
#include "server/layout.h"
#include "server/local_windows.h"
#include "server/registry.h"
#include "server/remote_links.h"
#include "server/server.h"
#include "server/window.h"
#include "sys/sys.h"

namespace ruk {

namespace {

std::unexpected<Error> usage() { return fail("usage: ruk " + std::string(NEW_USAGE)); }

// The machine that `new --on HOST` goes to, once it is known to take the request.
Result<MachineId> remote_target(Server& server, const std::string& host) {
    const MachineId id = RUK_TRY(resolve_machine(server, host));
    const Machine* machine = find_machine(server, id);
    if (!machine) return fail("machine is gone");
    const std::string name = machine_display_name(server, id);
    if (!machine->connected) return fail(name + " is not connected (" + machine->status.value_or("offline") + ")");
    if (std::find(machine->features.begin(), machine->features.end(), protocol::FEATURE_NEW_AGENT) ==
        machine->features.end())
        return fail("ruk on " + name + ", is too old to start agents; update it there");
    return id;
}

}  // namespace

Result<NewAgentRequest> parse_new_args(std::span<const std::string> words) {
    NewAgentRequest request;
    bool have_runtime = false;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "--") {
            request.args.assign(words.begin() + static_cast<std::ptrdiff_t>(i) + 1, words.end());
            break;
        }
        if (word == "--name" || word == "--on") {
            if (i + 1 >= words.size()) return usage();
            (word == "--name" ? request.name : request.host) = words[++i];
        } else if (word.starts_with('-')) {
            return fail("unknown option '" + word + "'; usage: ruk " + std::string(NEW_USAGE));
        } else if (have_runtime) {
            return usage();
        } else {
            request.runtime = word;
            have_runtime = true;
        }
    }
    if (!have_runtime) return usage();
    RUK_TRY(parse_runtime(request.runtime));
    if (request.name) RUK_TRY(validate_window_name(*request.name));
    return request;
}

Result<std::optional<std::string>> start_new_agent(Server& server, std::span<const std::string> words,
                                                   std::optional<pid_t> caller, Fd* stream) {
    const NewAgentRequest request = RUK_TRY(parse_new_args(words));
    const auto pane = pane_size(server.size);
    if (request.host) {
        const MachineId machine = RUK_TRY(remote_target(server, *request.host));
        // The caller's directory is a path on this machine; the agent there
        // starts where its server runs.
        protocol::NewAgent agent{.runtime = request.runtime, .args = request.args, .name = request.name, .dir = std::nullopt};
        request_remote_agent(server, machine, std::move(agent), pane.rows, pane.cols,
                             stream ? std::move(*stream) : Fd());
        return std::nullopt;
    }

    std::optional<std::string> dir;
    if (caller) dir = sys::process_cwd(*caller);
    const protocol::NewAgent agent{.runtime = request.runtime, .args = request.args, .name = request.name, .dir = dir};
    const StartedAgent started = RUK_TRY(start_local_agent(server, agent, pane.rows, pane.cols));
    const Window* window = find_window(server, started.id);
    if (!window) return fail("window is gone");
    return "started " + started.name + " (window " + std::to_string(window->number) + ")";
}

void run_new_command(Server& server, std::span<const std::string> words, std::optional<pid_t> caller, Fd stream) {
    auto result = start_new_agent(server, words, caller, &stream);
    if (!result)
        answer_and_close(std::move(stream), false, result.error().message);
    else if (*result)
        answer_and_close(std::move(stream), true, **result);
    // Otherwise the other machine's answer, or its failure, goes to the stream later.
}

}  // namespace ruk
