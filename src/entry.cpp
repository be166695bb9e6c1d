// Dispatch on the first argument. Matching is exact: no prefixes, no
// abbreviations. Every failure that reaches here is printed once, as
// "ruk: {message}", with exit status 1; an unknown command prints the whole
// usage and exits 2.
#include "entry.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <span>
#include <string_view>

#include "bridge.h"
#include "client/client.h"
#include "command_client.h"
#include "server/lifecycle.h"
#include "texts.h"
#include "update/update_command.h"

namespace ruk {

namespace {

using Args = std::span<const std::string>;  // without the program name

int print_failure(const Error& error) {
    std::fprintf(stderr, "ruk: %s\n", error.message.c_str());
    return 1;
}

int exit_status(const Result<void>& result) { return result ? 0 : print_failure(result.error()); }

int run_help(Args) {
    std::cout << USAGE_TEXT << "\n\n" << KEYS_TEXT << "\n";
    return 0;
}

int run_build(Args) {
    std::cout << BUILD_NUMBER << " 0 0\n";
    return 0;
}

int run_command(Args args) {
    auto outcome = run_server_command(std::vector<std::string>(args.begin(), args.end()));
    if (!outcome) return print_failure(outcome.error());
    return *outcome == Outcome::Success ? 0 : 1;
}

int run_kill(Args) { return exit_status(kill_server()); }

int run_server(Args args) {
    const int status = exit_status(serve(std::vector<std::string>(args.begin() + 1, args.end())));
    // Reader and writer threads may still be blocked on sockets; the process
    // ends here without running destructors under them.
    std::fflush(nullptr);
    ::_exit(status);
}

int run_version(Args) {
    report_versions();
    return 0;
}

int run_update(Args args) { return exit_status(run_update_command(std::vector<std::string>(args.begin() + 1, args.end()))); }

int run_bridge_command(Args) { return run_bridge(); }

struct Command {
    std::string_view word;
    int (*run)(Args args);  // gets the whole argument list, command word first
};

constexpr Command COMMANDS[] = {
    {"-h", run_help},           {"help", run_help},          {"--help", run_help},
    {"agents", run_command},    {"name", run_command},       {"rename", run_command},
    {"swap-window", run_command}, {"send", run_command},     {"new", run_command},
    {"connect", run_command},   {"disconnect", run_command}, {"hosts", run_command},
    {"notify", run_command},    {"kill-server", run_kill},   {"version", run_version},
    {"update", run_update},      {"bridge", run_bridge_command}, {"__server", run_server},
    {"__build", run_build},
};

}  // namespace

int run_entry(const std::vector<std::string>& args) {
    // A client whose server or terminal goes away must see a write error, not die.
    ::signal(SIGPIPE, SIG_IGN);
    if (args.empty()) return exit_status(attach());
    for (const auto& command : COMMANDS) {
        if (args[0] == command.word) return command.run(Args(args));
    }
    std::cerr << "ruk: unknown command '" << args[0] << "'\n\n" << USAGE_TEXT << "\n\n" << KEYS_TEXT << "\n";
    return 2;
}

int run_entry(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return run_entry(args);
}

}  // namespace ruk
