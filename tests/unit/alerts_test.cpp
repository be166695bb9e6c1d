// The alert pass over small Server records (windows without processes, remote
// machines as plain records): which transitions alert, focus and repeat
// suppression, merging, labels and details, and the setting's effect.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "protocol/messages.h"
#include "server/alerts.h"
#include "server/server.h"
#include "server/tick.h"
#include "server/window.h"
#include "test_support.h"

namespace ruk {
namespace {

using S = AgentState;

Window& add_agent(Server& server, std::string name, Runtime runtime = Runtime::Claude,
                  std::optional<protocol::Location> location = protocol::Location{"/src/proj", "main"}) {
    auto window = std::make_unique<Window>();
    window->id = server.next_window_id++;
    window->number = window->id;
    window->name = std::move(name);
    window->agent = Agent{};
    window->agent->runtime = runtime;
    window->agent->location = std::move(location);
    server.windows.push_back(std::move(window));
    return *server.windows.back();
}

std::optional<Notification> step(Server& server, uint64_t tick) {
    server.tick = tick;
    return collect_alerts(server, sidebar_agents(server));
}

// One local agent through a sequence of ticks; `looking` means an attached,
// focused client views it.
struct Step {
    uint64_t tick;
    S state;
    std::optional<std::string> title;
    bool looking = false;
};
struct Script {
    std::string_view what;
    std::vector<Step> steps;
};

const Script SCRIPTS[] = {
    {"an agent first seen waiting does not alert; its next question does",
     {{1, S::NeedsInput, {}}, {2, S::Working, {}}, {3, S::NeedsInput, "proj-claude needs input"}}},
    {"working then idle is done",
     {{1, S::Working, {}}, {2, S::Idle, "proj-claude is done"}}},
    {"waiting then idle, idle then working: nothing",
     {{1, S::NeedsInput, {}}, {2, S::Idle, {}}, {3, S::Working, {}}, {4, S::Working, {}}}},
    {"staying in needs input alerts once",
     {{1, S::Working, {}}, {2, S::NeedsInput, "proj-claude needs input"}, {3, S::NeedsInput, {}}}},
    {"a repeat within ten seconds is held back",
     {{1, S::Working, {}}, {2, S::NeedsInput, "proj-claude needs input"}, {3, S::Working, {}}, {21, S::NeedsInput, {}}}},
    {"a repeat ten seconds later alerts",
     {{1, S::Working, {}}, {2, S::NeedsInput, "proj-claude needs input"}, {3, S::Working, {}},
      {22, S::NeedsInput, "proj-claude needs input"}}},
    {"a held-back repeat restarts the ten seconds",
     {{1, S::Working, {}},
      {2, S::NeedsInput, "proj-claude needs input"},
      {3, S::Working, {}},
      {15, S::NeedsInput, {}},
      {16, S::Working, {}},
      {34, S::NeedsInput, {}},
      {35, S::Working, {}},
      {54, S::NeedsInput, "proj-claude needs input"}}},
    {"needs input and done are limited apart",
     {{1, S::Working, {}}, {2, S::NeedsInput, "proj-claude needs input"}, {3, S::Working, {}},
      {4, S::Idle, "proj-claude is done"}}},
    {"the window the focused client views does not alert, nor count for the repeat",
     {{1, S::Working, {}},
      {2, S::NeedsInput, {}, true},
      {3, S::Working, {}, true},
      {4, S::NeedsInput, "proj-claude needs input"}}},
};

TEST(Alerts, TransitionsRepeatAndFocus) {
    for (const Script& script : SCRIPTS) {
        SCOPED_TRACE(script.what);
        Server server;
        Window& window = add_agent(server, "proj-claude");
        for (const Step& s : script.steps) {
            SCOPED_TRACE("tick " + std::to_string(s.tick));
            window.agent->state = s.state;
            if (s.looking) {
                server.client.emplace();
                server.focused = true;
                server.view = View{0, window.id};
            } else {
                server.client.reset();
                server.view.reset();
            }
            auto got = step(server, s.tick);
            EXPECT_EQ(got ? std::optional(got->title) : std::nullopt, s.title);
            if (got) {
                EXPECT_EQ(got->body, "proj (main)");
            }
        }
    }
}

TEST(Alerts, OnlyAFocusedClientViewingTheAgentSuppresses) {
    struct Case {
        std::string_view what;
        bool attached, focused, viewing;
        bool alerts;
    };
    const Case cases[] = {
        {"focused and viewing", true, true, true, false},
        {"terminal in the background", true, false, true, true},
        {"viewing another window", true, true, false, true},
        {"no client (the view stays from the last one)", false, true, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Server server;
        Window& window = add_agent(server, "a");
        Window& other = add_agent(server, "b");
        window.agent->state = S::Working;
        step(server, 1);
        if (c.attached) server.client.emplace();
        server.focused = c.focused;
        server.view = View{0, c.viewing ? window.id : other.id};
        window.agent->state = S::NeedsInput;
        EXPECT_EQ(step(server, 2).has_value(), c.alerts);
    }
}

TEST(Alerts, AlertsOfOneTickMergeInSidebarOrder) {
    Server server;
    Window& a = add_agent(server, "proj-claude");
    Window& b = add_agent(server, "proj-codex", Runtime::Codex);
    Window& c = add_agent(server, "other-pi", Runtime::Pi, protocol::Location{"/src/other", std::nullopt});
    Window& d = add_agent(server, "proj-grok", Runtime::Grok);
    for (Window* w : {&a, &b, &c, &d}) w->agent->state = S::Working;
    EXPECT_FALSE(step(server, 1));

    a.agent->state = S::NeedsInput;
    c.agent->state = S::Idle;
    d.agent->state = S::NeedsInput;
    // Sidebar order: the proj group (windows 0, 1, 3) before other (window 2).
    EXPECT_EQ(step(server, 2), (Notification{"3 agents need attention",
                                             "proj-claude needs input\nproj-grok needs input\nother-pi is done"}));

    // One alert: the project as the body, with the branch when there is one.
    b.agent->state = S::NeedsInput;
    EXPECT_EQ(step(server, 3), (Notification{"proj-codex needs input", "proj (main)"}));
    c.agent->state = S::Working;
    step(server, 4);
    c.agent->state = S::NeedsInput;
    EXPECT_EQ(step(server, 5), (Notification{"other-pi needs input", "other"}));
}

TEST(Alerts, AnAgentWithoutAProjectHasNoDetail) {
    Server server;
    Window& a = add_agent(server, "claude", Runtime::Claude, std::nullopt);
    a.agent->state = S::Working;
    step(server, 1);
    a.agent->state = S::Idle;
    EXPECT_EQ(step(server, 2), (Notification{"claude is done", ""}));
}

TEST(Alerts, RemoteAgentsAreLabelledWithTheirMachineAndNeverAlertWhileUnreachable) {
    Server server;
    server.host_name = "here";
    auto machine = [&](MachineId id, std::string host, bool connected, std::string name) {
        Machine m;
        m.id = id;
        m.host = std::move(host);
        m.connected = connected;
        protocol::WindowInfo info;
        info.id = 7;
        info.index = 0;
        info.name = std::move(name);
        info.agent = protocol::AgentInfo{"codex", "working", protocol::Location{"/w/api", std::nullopt}, 0, false};
        m.windows.push_back(info);
        server.machines.push_back(std::move(m));
    };
    machine(1, "me@build-2", true, "fix-codex");
    machine(2, "build-3", false, "lost-codex");
    EXPECT_FALSE(step(server, 1));
    for (Machine& m : server.machines) m.windows[0].agent->state = "idle";
    // The same window id on two machines: two agents.
    EXPECT_EQ(step(server, 2), (Notification{"fix-codex on build-2 is done", "api"}));
    EXPECT_EQ(server.alerts.last_state.size(), 2u);

    // Back online, the unreachable machine's agent alerts on its next change.
    server.machines[1].connected = true;
    server.machines[1].windows[0].agent->state = "needs_input";
    EXPECT_EQ(step(server, 3), (Notification{"lost-codex on build-3 needs input", "api"}));
}

TEST(Alerts, AnAgentThatGoesAndComesBackIsNew) {
    Server server;
    Window& a = add_agent(server, "a");
    a.agent->state = S::Working;
    step(server, 1);
    a.agent->state = S::NeedsInput;
    ASSERT_TRUE(step(server, 2));

    // The agent leaves the window: its bookkeeping goes with it.
    a.agent.reset();
    EXPECT_FALSE(step(server, 3));
    EXPECT_TRUE(server.alerts.last_state.empty());
    EXPECT_TRUE(server.alerts.last_alert.empty());

    // Back, already waiting: first sight, no alert; the next question alerts
    // although ten seconds have not passed.
    a.agent = Agent{};
    a.agent->state = S::NeedsInput;
    EXPECT_FALSE(step(server, 4));
    a.agent->state = S::Working;
    step(server, 5);
    a.agent->state = S::NeedsInput;
    EXPECT_TRUE(step(server, 6));
}

TEST(Alerts, ThePassSendsOneNotificationOnlyWhileNotificationsAreOn) {
    test::TempDir dir;
    test::ScopedEnv config{"XDG_CONFIG_HOME", dir.path()};
    Server server;
    server.notifier = {NotifierKind::Terminal, ""};
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    Fd theirs(pair[1]);
    server.client.emplace();
    server.client->queue = std::make_unique<protocol::OutboundQueue>(Fd(pair[0]));
    server.focused = false;

    Window& a = add_agent(server, "a");
    Window& b = add_agent(server, "b");
    a.agent->state = b.agent->state = S::Working;
    server.tick = 1;
    alert_pass(server);

    // Off: the alert is made and dropped, not saved for later.
    ASSERT_TRUE(set_notifications_enabled(false));
    a.agent->state = S::NeedsInput;
    server.tick = 2;
    alert_pass(server);

    ASSERT_TRUE(set_notifications_enabled(true));
    b.agent->state = S::NeedsInput;
    server.tick = 3;
    alert_pass(server);

    protocol::FrameReader reader(theirs.get());
    auto message = protocol::read_server_message(reader);
    ASSERT_TRUE(message && *message);
    const auto* output = std::get_if<protocol::server::Output>(&**message);
    ASSERT_TRUE(output);
    EXPECT_EQ(std::string(output->bytes.begin(), output->bytes.end()), "\x1b]777;notify;b needs input;proj (main)\x1b\\");
}

}  // namespace
}  // namespace ruk
