#include "ui/sidebar.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "server/layout.h"
#include "server/registry.h"
#include "server/window.h"
#include "ui/status_bar.h"
#include "util/width.h"
#include "server_fixture.h"

namespace ruk {
namespace {

constexpr int W = SIDEBAR_WIDTH;

// The line without its SGR sequences.
std::string plain(const std::string& line) {
    std::string out;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line.compare(i, 2, "\x1b[") == 0) {
            size_t end = line.find_first_not_of("0123456789;", i + 2);
            if (end != std::string::npos && line[end] == 'm') {
                i = end;
                continue;
            }
        }
        out += line[i];
    }
    return out;
}

std::string pad(std::string text, int width = W) { return pad_columns(text, width); }

using test::add_window;

Window& add_agent(Server& server, uint32_t number, std::optional<std::string> name, Runtime runtime,
                  std::optional<std::string> root = std::nullopt, std::optional<std::string> branch = std::nullopt,
                  AgentState state = AgentState::Idle) {
    Window& w = add_window(server, number, std::move(name));
    w.agent = Agent{};
    w.agent->runtime = runtime;
    w.agent->state = state;
    if (root) w.agent->location = protocol::Location{*root, branch};
    return w;
}

Machine& add_machine(Server& server, std::string host, bool connected, std::vector<protocol::WindowInfo> windows = {}) {
    Machine m;
    m.id = server.next_machine_id++;
    m.host = std::move(host);
    m.colour = 75;
    m.connected = connected;
    m.windows = std::move(windows);
    return server.machines.emplace_back(std::move(m));
}

protocol::WindowInfo remote_agent(uint32_t id, uint32_t index, std::string name, std::string state = "idle") {
    return {.id = id,
            .index = index,
            .name = std::move(name),
            .process = "node",
            .agent = protocol::AgentInfo{.kind = "codex", .state = std::move(state), .location = std::nullopt}};
}

// A server on the machine "devbox".
struct Devbox : Server {
    Devbox() { host_name = "devbox"; }
};

// Every line is exactly the sidebar's width, whatever it holds.
void expect_full_width(const Sidebar& sidebar, int height) {
    ASSERT_EQ(sidebar.lines.size(), size_t(height));
    ASSERT_EQ(sidebar.targets.size(), size_t(height));
    for (const auto& line : sidebar.lines) EXPECT_EQ(display_width(plain(line)), W) << line;
}

TEST(Sidebar, NoAgentsAnywhere) {
    Devbox server;
    add_window(server, 0, "shell");
    Sidebar s = build_sidebar(server, W, 6);
    expect_full_width(s, 6);
    EXPECT_EQ(s.lines[0], "\x1b[1m" + pad(" AGENTS (0)") + "\x1b[0m");
    EXPECT_EQ(s.lines[1], std::string(W, ' '));
    EXPECT_EQ(s.lines[2], "\x1b[2m" + pad("   none running") + "\x1b[0m");
    for (size_t i = 3; i < 6; ++i) EXPECT_EQ(s.lines[i], std::string(W, ' '));
    for (const auto& t : s.targets) EXPECT_EQ(t.kind, SidebarTarget::Kind::None);

    // Lines past the pane are dropped.
    EXPECT_EQ(build_sidebar(server, W, 2).lines.size(), 2u);
}

TEST(Sidebar, ProjectGroupsTitlesAndOrder) {
    Devbox server;
    add_agent(server, 1, "a", Runtime::Claude, "/home/u/work/api");
    add_agent(server, 2, "b", Runtime::Codex, "/home/u/play/api/");
    add_agent(server, 3, "c", Runtime::Pi, "/home/u/work//api");  // same project as 1
    add_agent(server, 4, "d", Runtime::Grok, "/srv/web");
    add_agent(server, 5, "e", Runtime::Other);

    std::vector<uint32_t> order;
    for (const auto& a : sidebar_agents(server)) order.push_back(a.number);
    EXPECT_EQ(order, (std::vector<uint32_t>{1, 3, 2, 4, 5}));

    Sidebar s = build_sidebar(server, W, 30);
    expect_full_width(s, 30);
    std::vector<std::string> text;
    for (const auto& line : s.lines) text.push_back(plain(line));
    EXPECT_EQ(text[0], pad(" AGENTS (5)"));
    EXPECT_EQ(text[1], pad(""));
    EXPECT_EQ(text[2], pad(" work/api") .substr(0, W - 2) + "2 ");
    EXPECT_EQ(text[3], pad(" ○ a", W - 3) + "#1 ");
    EXPECT_EQ(text[4], pad("   idle"));
    EXPECT_EQ(text[5], pad(" ○ c", W - 3) + "#3 ");
    EXPECT_EQ(text[7], pad(""));
    EXPECT_EQ(text[8], pad(" play/api").substr(0, W - 2) + "1 ");
    EXPECT_EQ(text[11], pad(""));
    EXPECT_EQ(text[12], pad(" web").substr(0, W - 2) + "1 ");
    EXPECT_EQ(text[15], pad(""));
    EXPECT_EQ(text[16], pad(" ?").substr(0, W - 2) + "1 ");
    EXPECT_EQ(text[17], pad(" ○ e", W - 3) + "#5 ");  // unnamed: the runtime's name

    // The project header goes to the group's first agent; both agent lines to the agent.
    EXPECT_EQ(s.targets[2], (SidebarTarget{SidebarTarget::Kind::ToWindow, 0, 0}));
    EXPECT_EQ(s.targets[5], (SidebarTarget{SidebarTarget::Kind::ToWindow, 0, 2}));
    EXPECT_EQ(s.targets[6], s.targets[5]);
    // Runtime colours on names; none for another kind.
    EXPECT_NE(s.lines[3].find("\x1b[38;5;209m\x1b[1ma"), std::string::npos) << s.lines[3];
    EXPECT_NE(s.lines[17].find("\x1b[39m \x1b[1me"), std::string::npos) << s.lines[17];
}

TEST(Sidebar, AgentRowShortensAndShowsState) {
    Devbox server;
    server.tick = 13;
    Window& a = add_agent(server, 3, "frontend-refactor-agent-2", Runtime::Claude, "/p/app", "feature/very-long-branch",
                          AgentState::Working);
    add_agent(server, 4, "asking", Runtime::Codex, "/p/app", std::nullopt, AgentState::NeedsInput);
    Window& done = add_agent(server, 5, "finished", Runtime::Pi, "/p/app");
    done.agent->done = true;
    server.view = View{0, a.id};

    Sidebar s = build_sidebar(server, W, 12);
    expect_full_width(s, 12);
    // 24 − "#3 " − 4 = 17 columns: "…" and the name's last 16 characters.
    EXPECT_EQ(plain(s.lines[3]), " ⠸ …refactor-agent-2 #3 ");
    EXPECT_EQ(plain(s.lines[4]), "   working · …ong-branch");
    EXPECT_TRUE(s.lines[3].starts_with("\x1b[48;5;237m \x1b[38;5;220m⠸")) << s.lines[3];  // viewed: background
    EXPECT_TRUE(s.lines[4].starts_with("\x1b[48;5;237m\x1b[38;5;220m   working\x1b[39;2m · ")) << s.lines[4];
    EXPECT_EQ(plain(s.lines[5]), pad(" ● asking", W - 3) + "#4 ");
    EXPECT_EQ(plain(s.lines[6]), pad("   needs input"));
    EXPECT_TRUE(s.lines[5].starts_with(" \x1b[38;5;203m●")) << s.lines[5];
    EXPECT_EQ(plain(s.lines[7]), pad(" ✓ finished", W - 3) + "#5 ");

    // Done shows only while someone else is viewed.
    server.view = View{0, done.id};
    EXPECT_EQ(plain(build_sidebar(server, W, 12).lines[7]), pad(" ○ finished", W - 3) + "#5 ");
}

TEST(Sidebar, DisplayStatePrecedence) {
    struct Case {
        AgentState state;
        bool done, unreachable, current;
        DisplayState want;
    };
    const Case cases[] = {
        {AgentState::NeedsInput, true, true, false, DisplayState::Unreachable},
        {AgentState::NeedsInput, true, false, false, DisplayState::NeedsInput},
        {AgentState::Working, true, false, false, DisplayState::Working},
        {AgentState::Idle, true, false, false, DisplayState::Done},
        {AgentState::Idle, true, false, true, DisplayState::Idle},
        {AgentState::Idle, false, false, false, DisplayState::Idle},
    };
    for (const auto& c : cases) {
        SidebarAgent a;
        a.state = c.state;
        a.done = c.done;
        a.unreachable = c.unreachable;
        a.current = c.current;
        EXPECT_EQ(display_state(a), c.want) << int(c.want);
    }
}

TEST(Sidebar, MachinesWithHeadersAndStatus) {
    Devbox server;
    add_agent(server, 0, "local", Runtime::Claude);
    add_machine(server, "me@build-7.example.com", true);
    const MachineId lost = add_machine(server, "gpu-box-with-a-very-long-name", false,
                                       {remote_agent(9, 2, "trainer", "working")}).id;
    server.machines.back().status = "ssh: connection refused";
    add_machine(server, "ci", true, {remote_agent(4, 1, "mailer")});
    server.machines.back().windows[0].agent->overdue = true;
    server.machines.back().windows[0].agent->queued = 3;

    Sidebar s = build_sidebar(server, W, 24);
    expect_full_width(s, 24);
    std::vector<std::string> text;
    for (const auto& line : s.lines) text.push_back(plain(line));
    const std::vector<std::string> want = {
        pad(" AGENTS (3)"),
        pad(""),
        " ── devbox ─────────────",
        pad(" ?").substr(0, W - 2) + "1 ",
        pad(" ○ local", W - 3) + "#0 ",
        pad("   idle"),
        pad(""),
        " ── build-7 ────────────",
        pad("   no agents"),
        pad(""),
        " ── gpu-box-with-a-ver… ",
        pad("   ssh: connection refused").substr(0, W),
        pad(" ?").substr(0, W - 2) + "1 ",
        pad(" ○ trainer", W - 3) + "#2 ",
        pad("   unreachable"),
        pad(""),
        " ── ci ─────────────────",
        pad(" ?").substr(0, W - 2) + "1 ",
        pad(" ○ mailer", W - 6) + "✉3 #1 ",
        pad("   idle"),
    };
    for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(text[i], want[i]) << "line " << i;

    EXPECT_TRUE(s.lines[2].starts_with("\x1b[1;38;5;114m")) << s.lines[2];
    EXPECT_TRUE(s.lines[7].starts_with("\x1b[1;38;5;75m")) << s.lines[7];
    EXPECT_TRUE(s.lines[10].starts_with("\x1b[2m")) << s.lines[10];
    EXPECT_EQ(s.targets[10], (SidebarTarget{SidebarTarget::Kind::ToMachine, lost, 0}));
    EXPECT_EQ(s.targets[13], (SidebarTarget{SidebarTarget::Kind::ToWindow, lost, 9}));
}

// A tag wider than the row (a huge queue on a huge window number) is cut
// rather than pushing the row past the sidebar.
TEST(Sidebar, HugeNumbersKeepTheRowWidth) {
    Devbox server;
    add_machine(server, "ci", true, {remote_agent(4, 4294967295u, "mailer")});
    server.machines.back().windows[0].agent->overdue = true;
    server.machines.back().windows[0].agent->queued = 123456789012345u;
    Sidebar s = build_sidebar(server, W, 8);
    expect_full_width(s, 8);
    EXPECT_TRUE(plain(s.lines[7]).ends_with(" #4294967295 ")) << s.lines[7];
}

TEST(Sidebar, ClickTargetsFollowTheLayout) {
    Devbox server;
    Window& w = add_agent(server, 7, "api", Runtime::Claude);
    server.size = {24, 64};
    EXPECT_EQ(sidebar_target_at(server, 0), std::nullopt);  // the title
    EXPECT_EQ(sidebar_target_at(server, 3), (SidebarTarget{SidebarTarget::Kind::ToWindow, 0, w.id}));
    EXPECT_EQ(sidebar_target_at(server, 4), (SidebarTarget{SidebarTarget::Kind::ToWindow, 0, w.id}));
    EXPECT_EQ(sidebar_target_at(server, 5), std::nullopt);
    EXPECT_EQ(sidebar_target_at(server, 400), std::nullopt);
    server.size = {24, 63};  // no sidebar: every click is in the pane
    EXPECT_EQ(sidebar_target_at(server, 3), std::nullopt);
    EXPECT_EQ(pane_size({24, 64}), (TermSize{23, 39}));
    EXPECT_EQ(pane_size({24, 63}), (TermSize{23, 63}));
}

// ---- status bar ---------------------------------------------------------------------------------

TEST(StatusBar, WindowListWithMarksAndHits) {
    Devbox server;
    server.size = {24, 60};
    Window& shell = add_window(server, 0, "shell");
    add_agent(server, 1, "api", Runtime::Claude, std::nullopt, std::nullopt, AgentState::NeedsInput);
    Window& web = add_agent(server, 2, "web", Runtime::Codex);
    web.agent->done = true;
    add_window(server, 3, "x");
    server.view = View{0, shell.id};

    StatusBar bar = build_status_bar(server);
    EXPECT_EQ(bar.line, "\x1b[30;48;5;114m" + pad("[ruk] 0:shell* 1:api! 2:web+ 3:x  ", 60));
    const std::vector<StatusHit> hits = {{6, 14, 0, 0}, {15, 21, 0, 1}, {22, 28, 0, 2}, {29, 33, 0, 3}};
    EXPECT_EQ(bar.hits, hits);
    EXPECT_EQ(status_window_at(server, 6), (View{0, 0}));
    EXPECT_EQ(status_window_at(server, 14), std::nullopt);  // the blank between entries
    EXPECT_EQ(status_window_at(server, 32), (View{0, 3}));
    EXPECT_EQ(status_window_at(server, 33), std::nullopt);

    // With a machine connected the label names the machine.
    add_machine(server, "build-7", true);
    EXPECT_TRUE(plain(build_status_bar(server).line).starts_with("[devbox] 0:shell* "));
}

TEST(StatusBar, UpdateNoticeOnlyWhenItFits) {
    Devbox server;
    server.size = {24, 60};
    server.view = View{0, add_window(server, 0, "shell").id};
    server.available_release = "0.2.0";
    const std::string notice = " ruk 0.2.0 available: run ruk update ";
    StatusBar bar = build_status_bar(server);
    EXPECT_EQ(plain(bar.line), pad("[ruk] 0:shell* ", 60 - int(notice.size())) + notice);

    for (uint32_t n = 1; n < 6; ++n) add_window(server, n, "window");
    bar = build_status_bar(server);
    EXPECT_EQ(plain(bar.line).find("available"), std::string::npos);
    EXPECT_EQ(display_width(plain(bar.line)), 60);
    // A list wider than the terminal is cut, and so are its click areas.
    for (const auto& h : bar.hits) EXPECT_LE(h.end, 60);
}

TEST(StatusBar, VariantsByPriority) {
    Devbox server;
    server.size = {24, 40};
    Window& w = add_window(server, 2, "api");
    server.view = View{0, w.id};
    server.tick = 10;

    struct Case {
        std::string what;
        std::function<void(Server&)> set;
        std::string want;
    };
    const Case cases[] = {
        {"expired message", [](Server& s) { s.status_message = StatusMessage{"old", 10}; },
         "\x1b[30;48;5;114m" + pad("[ruk] 2:api* ", 40)},
        {"message", [](Server& s) { s.status_message = StatusMessage{"no window 'x'", 11}; },
         "\x1b[97;41m" + pad(" no window 'x'", 40)},
        {"rename prompt beats the message",
         [&](Server& s) { s.prompt = PromptState{PromptState::Kind::Rename, "ab", View{0, w.id}, std::nullopt}; },
         "\x1b[30;43m" + std::string(take_columns(" rename window 2: ab█   (enter to save, empty for default", 40))},
        {"command prompt",
         [](Server& s) {
             s.prompt = PromptState{PromptState::Kind::Command, "ki", {}, std::nullopt};
             s.status_message.reset();
         },
         "\x1b[30;43m" + std::string(take_columns(" :ki█   (tab completes, enter runs, esc cancels)", 40))},
        {"command prompt with a hint",
         [](Server& s) { s.prompt->hint = "kill-server kill-window"; },
         "\x1b[30;43m" + pad(" :ki█   kill-server kill-window", 40)},
        {"scrollback",
         [&](Server& s) {
             s.prompt.reset();
             s.scrollback = {true, 0, w.id, 12, 340};
         },
         "\x1b[30;43m" + std::string(take_columns(" scrollback 12/340   arrows/j/k line · pgup/pgdn page", 40))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.set(server);
        EXPECT_EQ(build_status_bar(server).line, c.want);
    }
}

TEST(StatusBar, RemoteViewOfflineAndOnline) {
    Devbox server;
    server.size = {24, 70};
    add_window(server, 0, "shell");
    Machine& m = add_machine(server, "me@build-7.example.com", true, {remote_agent(5, 0, "trainer", "needs_input")});
    m.windows.push_back({.id = 6, .index = 1, .name = std::nullopt, .process = "vim\x1b[2J", .agent = std::nullopt});
    server.view = View{m.id, 6};

    StatusBar bar = build_status_bar(server);
    EXPECT_EQ(bar.line, "\x1b[30;48;5;75m" + pad("[build-7] 0:trainer! 1:vim?[2J* ", 70));
    EXPECT_EQ(status_window_at(server, 10), (View{m.id, 5}));

    m.connected = false;
    m.status = "ssh exited";
    bar = build_status_bar(server);
    EXPECT_EQ(bar.line, "\x1b[97;41m" + pad(" [build-7] offline, reconnecting: ssh exited", 70));
    EXPECT_TRUE(bar.hits.empty());
}

}  // namespace
}  // namespace ruk
