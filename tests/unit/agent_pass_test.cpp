// The agent pass on real windows: the fake agents run in pseudo terminals
// under a server driven through its handlers, and the passes of the tick run
// between events as the loop would run them.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "agents/detect.h"
#include "paths.h"
#include "server/event_loop.h"
#include "server/local_windows.h"
#include "server/registry.h"
#include "server/server.h"
#include "server/tick.h"
#include "server/window.h"
#include "sys/sys.h"
#include "test_support.h"

namespace ruk {
namespace {

using namespace std::chrono_literals;

const std::string FIXTURES = RUK_FIXTURES_BIN;

class AgentPassTest : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string base;  // dir with links resolved, as the kernel reports directories
    Server server;
    EventSender events = std::make_shared<EventChannel>();

    AgentPassTest() {
        server.shell = "/bin/sh";
        server.socket_path = dir / "default.sock";
        server.events = events;
        char* real = ::realpath(dir.path().c_str(), nullptr);
        base = real ? real : dir.path();
        std::free(real);
    }
    // Dropping the windows hangs up their terminals, which ends the agents.
    ~AgentPassTest() override {
        server.windows.clear();
        events->close();
    }

    // A repository "proj" on branch main.
    std::string make_project() {
        const std::string proj = base + "/proj";
        auto r = test::run({"git", "-c", "init.defaultBranch=main", "init", "-q", proj});
        if (r.status != 0) {
            // Without git, the files it would make are enough.
            std::filesystem::create_directories(proj + "/.git");
            test::write_file(proj + "/.git/HEAD", "ref: refs/heads/main\n");
        }
        return proj;
    }

    WindowId start(const std::vector<std::string>& args, const std::string& cwd) {
        auto id = spawn_window(server, 24, 80, cwd, args);
        EXPECT_TRUE(id);
        return id.value_or(0);
    }
    Window& window(WindowId id) {
        Window* w = find_window(server, id);
        EXPECT_TRUE(w);
        return *w;
    }
    void type(WindowId id, std::string_view text) {
        window(id).process->write(std::vector<uint8_t>(text.begin(), text.end()));
    }
    void tick() {
        ++server.tick;
        refresh_agents(server);
        refresh_default_names(server);
    }
    // Handles the windows' events, with a tick every 100 ms, until the
    // condition holds after a tick.
    bool tick_until(const std::function<bool()>& done, std::chrono::seconds deadline = 30s) {
        const auto end = std::chrono::steady_clock::now() + deadline;
        auto next_tick = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() < end) {
            if (auto e = events->recv_until(std::min(next_tick, end))) {
                (void)handle_event(server, std::move(*e));
                continue;
            }
            tick();
            if (done()) return true;
            next_tick = std::chrono::steady_clock::now() + 100ms;
        }
        return false;
    }
    bool has_agent(WindowId id, Runtime runtime) {
        const Window& w = window(id);
        return w.agent && w.agent->runtime == runtime;
    }
    // The fake has drawn its first screen (and switched its modes).
    bool drawn(WindowId id) {
        const auto rows = window(id).screen.bottom_rows_text(24);
        return std::any_of(rows.begin(), rows.end(), [](const std::string& r) { return r.starts_with("fake "); });
    }
    bool in_state(WindowId id, AgentState state) {
        const Window& w = window(id);
        return w.agent && w.agent->state == state;
    }
};

TEST_F(AgentPassTest, AgentsInAProjectAreNamedAfterItAndLoseTheNameWhenTheyExit) {
    const std::string proj = make_project();
    const WindowId a = start({FIXTURES + "/claude"}, proj);
    ASSERT_TRUE(tick_until([&] { return window(a).name == "proj-claude" && drawn(a); }));
    {
        const Agent& agent = *window(a).agent;
        EXPECT_EQ(agent.runtime, Runtime::Claude);
        EXPECT_EQ(agent.cwd, proj);
        ASSERT_TRUE(agent.location);
        EXPECT_EQ(agent.location->root, proj);
        EXPECT_EQ(agent.location->branch, "main");
        EXPECT_TRUE(window(a).name_is_default);
        // The agent is the fake below the window's shell, not the shell.
        EXPECT_NE(agent.pid, window(a).pid());
        EXPECT_EQ(sys::process_parent(agent.pid), window(a).pid());
        EXPECT_EQ(examine(agent.pid), Runtime::Claude);
    }

    const WindowId b = start({FIXTURES + "/claude"}, proj);
    ASSERT_TRUE(tick_until([&] { return window(b).name == "proj-claude-2"; }));

    // The agent exits and leaves its shell: the next tick drops the agent
    // and its default name.
    const pid_t gone = window(a).agent->pid;
    const auto started = sys::process_start_time(gone);
    type(a, "quit\r");
    ASSERT_TRUE(test::wait_for([&] { return sys::process_start_time(gone) != started; }));
    tick();
    EXPECT_FALSE(window(a).agent);
    EXPECT_FALSE(window(a).name);
    EXPECT_EQ(window(b).name, "proj-claude-2");

    // Another agent in the same shell is a new agent with a name of its own.
    type(a, FIXTURES + "/codex\r");
    ASSERT_TRUE(tick_until([&] { return window(a).name == "proj-codex"; }));
    EXPECT_EQ(window(a).agent->runtime, Runtime::Codex);
}

TEST_F(AgentPassTest, EachFakeAgentReadsAsItsRuntimeInEveryState) {
    const std::string log = base + "/typed";
    test::ScopedEnv log_env("FAKE_AGENT_LOG", log);
    const std::pair<const char*, Runtime> fakes[] = {{"claude", Runtime::Claude},
                                                     {"codex", Runtime::Codex},
                                                     {"opencode", Runtime::Opencode},
                                                     {"pi", Runtime::Pi},
                                                     {"grok", Runtime::Grok}};
    std::vector<std::pair<WindowId, Runtime>> windows;
    for (const auto& [name, runtime] : fakes) windows.emplace_back(start({FIXTURES + "/" + name}, base), runtime);
    auto all = [&](auto&& test) {
        return [&, test] {
            for (const auto& [id, runtime] : windows)
                if (!test(id, runtime)) return false;
            return true;
        };
    };
    auto state_is = [&](AgentState state) {
        return all([&, state](WindowId id, Runtime) { return in_state(id, state); });
    };
    auto type_all = [&](std::string_view text) {
        for (const auto& [id, runtime] : windows) type(id, text);
    };

    ASSERT_TRUE(tick_until(all([&](WindowId id, Runtime runtime) { return has_agent(id, runtime) && drawn(id); })));
    ASSERT_TRUE(tick_until(state_is(AgentState::Idle)));
    for (const auto& [id, runtime] : windows) {
        EXPECT_TRUE(window(id).screen.bracketed_paste()) << runtime_name(runtime);
        EXPECT_EQ(window(id).agent->location, (protocol::Location{base, std::nullopt}));
    }

    type_all("work\r");
    ASSERT_TRUE(tick_until(state_is(AgentState::Working)));
    // Work that ends while nobody looks leaves the agent done.
    type_all("idle\r");
    ASSERT_TRUE(tick_until(state_is(AgentState::Idle)));
    for (const auto& [id, runtime] : windows) EXPECT_TRUE(window(id).agent->done) << runtime_name(runtime);

    type_all("ask\r");
    ASSERT_TRUE(tick_until(state_is(AgentState::NeedsInput)));
    for (const auto& [id, runtime] : windows) EXPECT_FALSE(window(id).agent->done) << runtime_name(runtime);
    // An answered question is not finished work.
    type_all("idle\r");
    ASSERT_TRUE(tick_until(state_is(AgentState::Idle)));
    for (const auto& [id, runtime] : windows) EXPECT_FALSE(window(id).agent->done) << runtime_name(runtime);

    // Every byte typed reached the agents and their log.
    const std::string typed = test::read_file(log);
    for (std::string_view word : {"work\r", "idle\r", "ask\r"}) {
        size_t count = 0;
        for (size_t at = typed.find(word); at != std::string::npos; at = typed.find(word, at + 1)) ++count;
        EXPECT_GE(count, windows.size()) << word;
    }
}

TEST_F(AgentPassTest, WorkThatEndsInFrontOfTheUserIsNotDone) {
    const WindowId a = start({FIXTURES + "/claude"}, base);
    ASSERT_TRUE(tick_until([&] { return has_agent(a, Runtime::Claude) && drawn(a); }));
    server.client.emplace();
    server.focused = true;
    server.view = View{0, a};
    type(a, "work\r");
    ASSERT_TRUE(tick_until([&] { return in_state(a, AgentState::Working); }));
    type(a, "idle\r");
    ASSERT_TRUE(tick_until([&] { return in_state(a, AgentState::Idle); }));
    EXPECT_FALSE(window(a).agent->done);

    // With the terminal in the background nobody sees it.
    server.focused = false;
    type(a, "work\r");
    ASSERT_TRUE(tick_until([&] { return in_state(a, AgentState::Working); }));
    type(a, "idle\r");
    ASSERT_TRUE(tick_until([&] { return in_state(a, AgentState::Idle); }));
    EXPECT_TRUE(window(a).agent->done);
    // Coming back to it is looking at it.
    server.focused = true;
    tick();
    EXPECT_FALSE(window(a).agent->done);
    server.client.reset();
}

TEST_F(AgentPassTest, TheStartDeadlineEndsWhenTheAgentShowsOrTimeRunsOut) {
    const WindowId agent = start({FIXTURES + "/pi"}, base);
    const WindowId never = start({}, base);
    for (WindowId id : {agent, never}) {
        window(id).started_as_agent = true;
        window(id).agent_start_deadline = server.tick + 60;
    }
    ASSERT_TRUE(tick_until([&] { return has_agent(agent, Runtime::Pi); }));
    EXPECT_FALSE(window(agent).started_as_agent);
    EXPECT_FALSE(window(agent).agent_start_deadline);
    EXPECT_TRUE(window(never).started_as_agent);

    server.tick = *window(never).agent_start_deadline - 2;
    tick();
    EXPECT_TRUE(window(never).started_as_agent) << "a tick before the deadline";
    tick();
    EXPECT_FALSE(window(never).started_as_agent) << "the deadline's tick has come";
    EXPECT_FALSE(window(never).agent_start_deadline);
}

TEST_F(AgentPassTest, AnAgentRunByNodeIsKnownByItsPackage) {
    const auto node = find_on_path("node");
    if (!node) GTEST_SKIP() << "node is not installed";
    const std::string script =
        std::string(RUK_SOURCE_DIR) + "/tests/fixtures/node_modules/@anthropic-ai/claude-code/cli.js";
    const WindowId id = start({*node, script}, base);
    ASSERT_TRUE(tick_until([&] { return has_agent(id, Runtime::Claude); }));
    EXPECT_EQ(program_file_name(sys::process_executable(window(id).agent->pid).value_or("")).substr(0, 4), "node");
}

}  // namespace
}  // namespace ruk
