// Cost of the agent pass of one tick.
//
//   agent_pass_bench FAKE_AGENT [WINDOWS] [TICKS]   (defaults 20 and 200)
//
// Starts WINDOWS windows, each a shell running FAKE_AGENT (a fake agent from
// tests/fixtures, e.g. build/tests/fixtures/bin/claude) in its own git work
// tree, waits until every one is recognised, then times the agent pass and
// its parts: detection (process tree, foreground process, examining), the
// screen reading and the project location.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "agents/detect.h"
#include "agents/state.h"
#include "location/location.h"
#include "server/event_loop.h"
#include "server/local_windows.h"
#include "server/registry.h"
#include "server/server.h"
#include "server/tick.h"
#include "server/window.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace ruk;

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

void report(const char* what, std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    double sum = 0;
    for (double s : samples) sum += s;
    std::printf("%-28s median %8.1f us   mean %8.1f us   p95 %8.1f us\n", what, samples[samples.size() / 2],
                sum / double(samples.size()), samples[samples.size() * 95 / 100]);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: agent_pass_bench FAKE_AGENT [WINDOWS] [TICKS]\n");
        return 2;
    }
    // Absolute: each window starts in its own directory.
    const std::string agent = std::filesystem::absolute(argv[1]).string();
    const int count = argc > 2 ? std::atoi(argv[2]) : 20;
    const int ticks = argc > 3 ? std::atoi(argv[3]) : 200;

    char templ[] = "/tmp/ruk-bench-XXXXXX";
    if (!::mkdtemp(templ)) return 1;
    const std::string dir = templ;

    Server server;
    auto events = std::make_shared<EventChannel>();
    server.shell = "/bin/sh";
    server.socket_path = dir + "/default.sock";
    server.events = events;
    for (int i = 0; i < count; ++i) {
        const std::string proj = dir + "/proj" + std::to_string(i);
        std::filesystem::create_directories(proj + "/.git");
        std::FILE* head = std::fopen((proj + "/.git/HEAD").c_str(), "w");
        if (head) {
            std::fputs("ref: refs/heads/main\n", head);
            std::fclose(head);
        }
        if (!spawn_window(server, 50, 175, proj, {agent})) return 1;
    }

    auto pump = [&](Clock::duration d) {
        const auto end = Clock::now() + d;
        while (auto e = events->recv_until(end)) (void)handle_event(server, std::move(*e));
    };
    const auto give_up = Clock::now() + std::chrono::seconds(30);
    while (true) {
        pump(std::chrono::milliseconds(100));
        refresh_agents(server);
        const bool all = std::all_of(server.windows.begin(), server.windows.end(),
                                     [](const auto& w) { return w->agent.has_value(); });
        if (all) break;
        if (Clock::now() > give_up) {
            size_t seen = 0;
            for (const auto& w : server.windows) seen += w->agent.has_value();
            std::fprintf(stderr, "only %zu of %zu agents were recognised\n", seen, server.windows.size());
            return 1;
        }
    }

    std::vector<double> pass, detect, screen, location;
    for (int t = 0; t < ticks; ++t) {
        pump(std::chrono::milliseconds(5));
        for (auto& w : server.windows) w->foreground_cache.reset();  // as at a real tick, 500 ms later
        auto start = Clock::now();
        refresh_agents(server);
        pass.push_back(micros(Clock::now() - start));

        for (auto& w : server.windows) w->foreground_cache.reset();
        start = Clock::now();
        const ProcessTree tree = build_process_tree();
        std::vector<std::string> dirs;
        for (auto& w : server.windows)
            if (auto found = detect_agent(tree, w->pid(), foreground_process(*w)); found && found->cwd)
                dirs.push_back(*found->cwd);
        detect.push_back(micros(Clock::now() - start));

        start = Clock::now();
        for (auto& w : server.windows) (void)screen_state(w->screen);
        screen.push_back(micros(Clock::now() - start));

        start = Clock::now();
        for (const auto& d : dirs) (void)project_location(d);
        location.push_back(micros(Clock::now() - start));
    }
    std::printf("%d agent windows, %d ticks\n", count, ticks);
    report("agent pass (whole tick)", pass);
    report("  detection", detect);
    report("  screen reading", screen);
    report("  project location", location);

    server.windows.clear();
    events->close();
    std::filesystem::remove_all(dir);
    return 0;
}
