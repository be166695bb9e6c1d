// The server's commands run against a server whose windows have no
// processes: the dispatch and its usage lines, names and numbers, the two
// tables, the options of `new`, and the prompt's completion.
#include "server/commands.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "notify/notify.h"
#include "server/command_line.h"
#include "server/new_agent.h"
#include "server/registry.h"
#include "server/window.h"
#include "texts.h"
#include "server_fixture.h"

namespace ruk {
namespace {

using Words = std::vector<std::string>;

using test::add_window;

Window& add_agent(Server& server, uint32_t number, std::optional<std::string> name, Runtime runtime,
                  AgentState state, std::optional<protocol::Location> location = std::nullopt, bool done = false) {
    Window& window = add_window(server, number, std::move(name));
    Agent agent;
    agent.runtime = runtime;
    agent.state = state;
    agent.done = done;
    agent.location = std::move(location);
    window.agent = std::move(agent);
    return window;
}

Machine& add_machine(Server& server, std::string host, bool connected, std::vector<protocol::WindowInfo> windows = {}) {
    Machine machine;
    machine.id = server.next_machine_id++;
    machine.host = std::move(host);
    machine.connected = connected;
    machine.windows = std::move(windows);
    return server.machines.emplace_back(std::move(machine));
}

protocol::WindowInfo remote_agent(uint32_t id, uint32_t index, std::string name, protocol::AgentInfo agent) {
    return {.id = id, .index = index, .name = std::move(name), .process = "node", .agent = std::move(agent)};
}

protocol::WindowInfo remote_shell(uint32_t id, uint32_t index) {
    return {.id = id, .index = index, .name = std::nullopt, .process = "bash", .agent = std::nullopt};
}

std::vector<uint32_t> numbers(const Server& server) {
    std::vector<uint32_t> out;
    for (const auto& w : server.windows) out.push_back(w->number);
    return out;
}

struct ReplyCase {
    Words words;
    bool ok;
    std::string text;
};

void expect_replies(Server& server, std::optional<View> context, const std::vector<ReplyCase>& cases) {
    for (const auto& c : cases) {
        std::string trace;
        for (const auto& w : c.words) trace += "[" + w + "]";
        SCOPED_TRACE(trace);
        const auto reply = run_command(server, c.words, context);
        EXPECT_EQ(reply.ok, c.ok);
        EXPECT_EQ(reply.text, c.text);
    }
}

TEST(Dispatch, WrongWordCountsAnswerTheCommandsOwnUsage) {
    Server server;
    const std::string send_usage = "usage: ruk send NAME MESSAGE...   (or: send NAME - to read it from stdin)";
    const std::string swap_usage = "usage: ruk swap-window WINDOW [OTHER]   (OTHER defaults to the current window)";
    const std::string notify_usage = "usage: ruk notify [on|off|test]";
    expect_replies(server, std::nullopt,
                   {
                       {{}, false, "no command"},
                       {{"name", "a", "b"}, false, "usage: ruk name [NAME]"},
                       {{"rename"}, false, "usage: ruk rename OLD NEW"},
                       {{"rename", "a"}, false, "usage: ruk rename OLD NEW"},
                       {{"rename", "a", "b", "c"}, false, "usage: ruk rename OLD NEW"},
                       {{"swap-window"}, false, swap_usage},
                       {{"swap-window", "1", "2", "3"}, false, swap_usage},
                       {{"send"}, false, send_usage},
                       {{"send", "api"}, false, send_usage},
                       {{"connect"}, false, "usage: ruk connect HOST [REMOTE-RUK-COMMAND]"},
                       {{"disconnect"}, false, "usage: ruk disconnect HOST"},
                       {{"disconnect", "a", "b"}, false, "usage: ruk disconnect HOST"},
                       {{"new", "claude"}, false, "usage: ruk new RUNTIME [--name NAME] [--on HOST] [-- AGENT-ARGS...]"},
                       {{"notify", "on", "now"}, false, notify_usage},
                       {{"notify", "loud"}, false, notify_usage},
                       {{"agents", "all"}, false, "usage: ruk agents"},
                       {{"hosts", "all"}, false, "usage: ruk hosts"},
                       {{"version", "x"}, false, "usage: ruk version"},
                       {{"frobnicate"}, false, "usage: ruk agents"},
                       {{"Agents"}, false, "usage: ruk agents"},
                   });
}

TEST(NameCommands, ShowSetRenameOutsideAndInside) {
    Server server;
    const WindowId w0 = add_window(server, 0).id;
    const WindowId api = add_window(server, 1, "api").id;
    add_window(server, 5);
    const View in_w0{0, w0};

    for (std::optional<View> outside : {std::optional<View>(), std::optional<View>(View{1, 7})}) {
        expect_replies(server, outside,
                       {{{"name"}, false, "not running inside a ruk window"},
                        {{"name", "x"}, false, "not running inside a ruk window"}});
    }
    expect_replies(server, View{0, 99}, {{{"name"}, false, "window is gone"}});
    expect_replies(server, in_w0,
                   {
                       {{"name"}, false, "window 0 has no name"},
                       {{"name", "12"}, false, "name may not be only digits (those refer to window numbers)"},
                       {{"name", "api"}, false, "name 'api' is already taken"},
                       {{"name", "web"}, true, ""},
                       {{"name"}, true, "web"},
                       {{"rename", "nope", "x"}, false, "no window named 'nope'"},
                       {{"rename", "api", "web"}, false, "name 'web' is already taken"},
                       {{"rename", "api", "srv"}, true, ""},
                       {{"rename", "5", "by-number"}, true, ""},
                   });
    EXPECT_EQ(find_window(server, api)->name, "srv");
    EXPECT_FALSE(find_window(server, api)->name_is_default);
    EXPECT_EQ(server.windows.back()->name, "by-number");
}

TEST(SwapCommand, UsesTheCallersWindowAsTheOther) {
    Server server;
    for (uint32_t n : {0u, 3u, 5u}) add_window(server, n);
    const WindowId five = server.windows[2]->id;
    const WindowId three = server.windows[1]->id;
    expect_replies(server, View{0, five}, {{{"swap-window", "3"}, true, ""}});
    EXPECT_EQ(find_window(server, five)->number, 3u);
    EXPECT_EQ(find_window(server, three)->number, 5u);
    EXPECT_EQ(numbers(server), (std::vector<uint32_t>{0, 3, 5}));

    expect_replies(server, View{0, five}, {{{"swap-window", "9"}, true, ""}});
    EXPECT_EQ(numbers(server), (std::vector<uint32_t>{0, 5, 9}));
    expect_replies(server, std::nullopt,
                   {{{"swap-window", "7", "8"}, false, "no window 7 or 8"},
                    {{"swap-window", "0"}, false, "not running inside a ruk window; name both: swap-window WINDOW OTHER"}});
}

TEST(SendCommand, RefusalsBeforeTheQueue) {
    Server server;
    add_agent(server, 0, "api", Runtime::Claude, AgentState::Idle);
    expect_replies(server, std::nullopt,
                   {{{"send", "api@build-7", "hi"}, false, "messaging agents on other machines (build-7) isn't supported yet"},
                    {{"send", "me@x@box", "hi"}, false, "messaging agents on other machines (box) isn't supported yet"},
                    {{"send", "nobody", "hi", "there"}, false, "no agent named 'nobody' (see: ruk agents)"}});
}

TEST(SendCommand, TheCallersWindowSignsTheMessage) {
    Server server;
    const WindowId api = add_agent(server, 0, "api", Runtime::Claude, AgentState::Idle).id;
    const WindowId shell = add_window(server, 4).id;
    Window& busy = add_agent(server, 7, "busy", Runtime::Codex, AgentState::Working);
    const std::string queued = "queued for busy (it is working); it will be delivered when busy is idle";
    expect_replies(server, View{0, api},
                   {{{"send", "api", "hi"}, false, "can't send a message to yourself"},
                    {{"send", "busy", "from", "api"}, true, queued}});
    expect_replies(server, View{0, shell}, {{{"send", "7", "from", "four"}, true, queued}});
    expect_replies(server, View{1, api}, {{{"send", "busy", "remote"}, true, queued}});
    expect_replies(server, std::nullopt, {{{"send", "busy", "outside"}, true, queued}});

    ASSERT_EQ(busy.queue.size(), 4u);
    const std::pair<std::string, std::optional<std::string>> want[] = {
        {"from api", "api"}, {"from four", "4"}, {"remote", std::nullopt}, {"outside", std::nullopt}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(busy.queue[i].text, want[i].first);
        EXPECT_EQ(busy.queue[i].sender, want[i].second);
    }
}

TEST(AgentsTable, ColumnsFollowDisplayWidthsAndMarkTheCaller) {
    Server server;
    server.host_name = "laptop";
    // Wide characters are two columns but three bytes: padding by bytes would
    // leave this column too wide.
    add_agent(server, 0, "api", Runtime::Claude, AgentState::Working, protocol::Location{"/w/日本語プロジェクト/", "機能"});
    const WindowId web = add_agent(server, 2, "web", Runtime::Codex, AgentState::Idle, std::nullopt, /*done=*/true).id;
    add_window(server, 1);  // a plain shell has no row
    add_agent(server, 3, std::nullopt, Runtime::Other, AgentState::NeedsInput, protocol::Location{"/w/x", std::nullopt});

    EXPECT_EQ(run_command(server, {"agents"}, View{0, web}).text,
              "NAME       WINDOW  AGENT   STATE        QUEUED  PROJECT             BRANCH\n"
              "api        0       claude  working      0       日本語プロジェクト  機能\n"
              "web (you)  2       codex   done         0       -                   -\n"
              "agent      3       agent   needs-input  0       x                   -");

    Server empty;
    const auto reply = run_command(empty, {"agents"}, std::nullopt);
    EXPECT_TRUE(reply.ok);
    EXPECT_EQ(reply.text, "NAME  WINDOW  AGENT  STATE  QUEUED  PROJECT  BRANCH");
}

TEST(AgentsTable, HostColumnWithRemoteMachines) {
    Server server;
    server.host_name = "laptop";
    add_agent(server, 0, "api", Runtime::Claude, AgentState::Idle);
    protocol::AgentInfo pi{.kind = "pi", .state = "needs_input", .location = protocol::Location{"C:\\src\\tool", "dev"},
                           .queued = 3, .overdue = true};
    protocol::AgentInfo fresh{.kind = "grok", .state = "working", .location = std::nullopt, .queued = 2, .overdue = false};
    const MachineId build = add_machine(server, "me@build-7.example.com", true,
                                        {remote_shell(1, 0), remote_agent(2, 4, "remote", pi), remote_agent(3, 6, "g", fresh)})
                                .id;
    add_machine(server, "gpu", false, {remote_agent(1, 1, "trainer", fresh)});

    EXPECT_EQ(run_command(server, {"agents"}, View{build, 2}).text,
              "NAME          HOST     WINDOW  AGENT   STATE        QUEUED  PROJECT  BRANCH\n"
              "api           laptop   0       claude  idle         0       -        -\n"
              "remote (you)  build-7  4       pi      needs-input  3       tool     dev\n"
              "g             build-7  6       grok    working      0       -        -\n"
              "trainer       gpu      1       grok    unreachable  0       -        -");
}

TEST(HostsTable, StatusCountsAndVersions) {
    Server server;
    EXPECT_EQ(run_command(server, {"hosts"}, std::nullopt).text, "no machines connected (add one with: ruk connect HOST)");
    EXPECT_TRUE(run_command(server, {"hosts"}, std::nullopt).ok);

    protocol::AgentInfo claude{.kind = "claude", .state = "idle", .location = std::nullopt, .queued = 0, .overdue = false};
    Machine& old = add_machine(server, "me@build-7.example.com", true,
                               {remote_shell(1, 0), remote_agent(2, 1, "a", claude), remote_agent(3, 2, "b", claude)});
    old.release = "0.1.3";
    old.build = 100;
    Machine& current = add_machine(server, "box", true, {remote_shell(1, 0)});
    current.release = "0.1.5";
    current.build = 200;
    add_machine(server, "ancient", true);
    add_machine(server, "10.0.0.5", false).status = "connecting…";
    add_machine(server, "gone", false);
    server.available_release = "0.1.5";
    server.announced_build = 200;

    EXPECT_EQ(run_command(server, {"hosts"}, std::nullopt).text,
              "HOST                    STATUS       WINDOWS  AGENTS  RUK\n"
              "me@build-7.example.com  online       3        2       0.1.3 (update to 0.1.5)\n"
              "box                     online       1        0       0.1.5\n"
              "ancient                 online       0        0       older than 0.1.0\n"
              "10.0.0.5                connecting…  0        0       -\n"
              "gone                    offline      0        0       -");
}

TEST(VersionCommand, NamesANewerRelease) {
    Server server;
    EXPECT_EQ(run_command(server, {"version"}, std::nullopt).text, version_line());
    server.available_release = "0.1.5";
    const auto reply = run_command(server, {"version"}, std::nullopt);
    EXPECT_TRUE(reply.ok);
    EXPECT_EQ(reply.text, version_line() + "\nlatest: 0.1.5 (run `ruk update`)");
}

TEST(NotifyCommand, TestNamesTheNotifier) {
    Server server;
    EXPECT_EQ(run_command(server, {"notify", "test"}, std::nullopt).text,
              "sent a test notification through " + notifier_name(server));
}

struct NewCase {
    Words words;
    std::optional<NewAgentRequest> want;
    std::string error;
};

TEST(NewArgs, OptionsRuntimeAndAgentArguments) {
    const std::string usage = "usage: ruk new RUNTIME [--name NAME] [--on HOST] [-- AGENT-ARGS...]";
    const NewCase cases[] = {
        {{"claude"}, NewAgentRequest{"claude", {}, std::nullopt, std::nullopt}, ""},
        {{"--name", "fixer", "codex", "--on", "box", "--", "--model", "x", "--name"},
         NewAgentRequest{"codex", {"--model", "x", "--name"}, "fixer", "box"}, ""},
        {{"pi", "--name", "a", "--name", "b", "--on", "h1", "--on", "h2"}, NewAgentRequest{"pi", {}, "b", "h2"}, ""},
        {{"grok", "--"}, NewAgentRequest{"grok", {}, std::nullopt, std::nullopt}, ""},
        {{"--", "claude"}, std::nullopt, usage},
        {{"claude", "--model"}, std::nullopt, "unknown option '--model'; " + usage},
        {{"claude", "-"}, std::nullopt, "unknown option '-'; " + usage},
        {{"claude", "--name"}, std::nullopt, usage},
        {{"claude", "--on"}, std::nullopt, usage},
        {{"claude", "codex"}, std::nullopt, usage},
        {{}, std::nullopt, usage},
        {{"--name", "x"}, std::nullopt, usage},
        {{"gpt"}, std::nullopt, "unknown runtime 'gpt' (use one of: claude, codex, opencode, pi, grok)"},
        {{"agent"}, std::nullopt, "unknown runtime 'agent' (use one of: claude, codex, opencode, pi, grok)"},
        {{"claude", "--name", "7"}, std::nullopt, "name may not be only digits (those refer to window numbers)"},
        {{"claude", "--name", "a b"}, std::nullopt, "name may not contain ' ' (use letters, digits, - _ .)"},
    };
    for (const auto& c : cases) {
        std::string trace;
        for (const auto& w : c.words) trace += "[" + w + "]";
        SCOPED_TRACE(trace);
        const auto got = parse_new_args(c.words);
        if (c.want) {
            ASSERT_TRUE(got) << got.error().message;
            EXPECT_EQ(*got, *c.want);
        } else {
            ASSERT_FALSE(got);
            EXPECT_EQ(got.error().message, c.error);
        }
    }
}

TEST(NewOnHost, TheMachineMustBeConnectedAndNewEnough) {
    Server server;
    const Words words{"claude", "--on", "build-7"};
    auto answer = [&] {
        auto r = start_new_agent(server, words, std::nullopt);
        return r ? r->value_or("") : r.error().message;
    };
    EXPECT_EQ(answer(), "no machine 'build-7': not connected to any (add one with: ruk connect HOST)");
    add_machine(server, "me@build-7.example.com", true);
    EXPECT_EQ(answer(), "ruk on build-7, is too old to start agents; update it there");
}

struct CompletionCase {
    std::string input;
    std::string want;
    std::optional<std::string> hint;
};

TEST(Completion, CommandsThenWindowNames) {
    const Words names{"proj-claude", "proj-codex", "api", "web@box"};
    const CompletionCase cases[] = {
        {"sw", "swap-window ", std::nullopt},
        {"n", "n", "name  notify"},
        {"", "", "swap-window  rename  name  send  connect  disconnect  notify"},
        {"x", "x", std::nullopt},
        {"Sw", "Sw", std::nullopt},
        {"send p", "send proj-c", "proj-claude  proj-codex"},
        {"send proj-cl", "send proj-claude ", std::nullopt},
        {"send api hel", "send api hel", std::nullopt},
        {"rename a", "rename api ", std::nullopt},
        {"rename api a", "rename api a", std::nullopt},
        {"swap-window api w", "swap-window api web@box ", std::nullopt},
        {"swap-window ", "swap-window ", "proj-claude  proj-codex  api  web@box"},
        {"connect a", "connect a", std::nullopt},
        {"connect build-7 r", "connect build-7 r", std::nullopt},
        {"notify o", "notify o", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        const auto got = complete_command_line(c.input, names);
        EXPECT_EQ(got.input, c.want);
        EXPECT_EQ(got.hint, c.hint);
    }
}

TEST(Completion, CommonPrefixStopsAtWholeCharacters) {
    // "é" and "è" share their first byte.
    const auto got = complete_command_line("send c", {"café", "cafè"});
    EXPECT_EQ(got.input, "send caf");
    EXPECT_EQ(got.hint, "café  cafè");
}

TEST(FormatTable, PaddingAndTrailingBlanks) {
    EXPECT_EQ(format_table({{"A", "BB", "C"}, {"xyz", "", ""}, {"w", "中", "q"}}),
              "A    BB  C\n"
              "xyz\n"
              "w    中  q");
}

}  // namespace
}  // namespace ruk
