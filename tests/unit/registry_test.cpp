#include "server/registry.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "hosts/host_names.h"

namespace ruk {
namespace {

using Existing = WindowTarget::Existing;
using FreeNumber = WindowTarget::FreeNumber;

Window& add_window(Server& server, uint32_t number, std::optional<std::string> name = std::nullopt) {
    auto window = std::make_unique<Window>();
    window->id = server.next_window_id++;
    window->number = number;
    window->name = std::move(name);
    return insert_window(server, std::move(window));
}

Agent agent_in(Runtime runtime, std::optional<std::string> root) {
    Agent agent;
    agent.runtime = runtime;
    if (root) agent.location = protocol::Location{*root, std::nullopt};
    return agent;
}

Machine& add_machine(Server& server, std::string host, bool connected,
                     std::vector<protocol::WindowInfo> windows = {}) {
    Machine machine;
    machine.id = server.next_machine_id++;
    machine.host = std::move(host);
    machine.connected = connected;
    machine.features = {"move-window"};
    machine.windows = std::move(windows);
    return server.machines.emplace_back(std::move(machine));
}

protocol::WindowInfo remote_window(uint32_t id, uint32_t index, std::optional<std::string> name) {
    return {.id = id, .index = index, .name = std::move(name), .process = "sh", .agent = std::nullopt};
}

std::vector<uint32_t> numbers(const Server& server) {
    std::vector<uint32_t> out;
    for (const auto& w : server.windows) out.push_back(w->number);
    return out;
}

std::optional<std::string> name_of(const Server& server, WindowId id) { return find_window(server, id)->name; }

TEST(WindowNumbers, LowestFreeFirstAndReused) {
    Server server;
    for (uint32_t want : {0u, 1u, 2u}) {
        EXPECT_EQ(allocate_window_number(server), want);
        add_window(server, allocate_window_number(server));
    }
    std::erase_if(server.windows, [](const auto& w) { return w->number == 1; });
    EXPECT_EQ(allocate_window_number(server), 1u);

    // Exact even when the list is out of order.
    Server unsorted;
    for (uint32_t n : {2u, 1u, 4u, 0u}) {
        unsorted.windows.push_back(std::make_unique<Window>());
        unsorted.windows.back()->number = n;
    }
    EXPECT_EQ(allocate_window_number(unsorted), 3u);
}

TEST(WindowNumbers, InsertKeepsNumberOrder) {
    Server server;
    for (uint32_t n : {5u, 1u, 3u, 0u, 9u}) add_window(server, n);
    EXPECT_EQ(numbers(server), (std::vector<uint32_t>{0, 1, 3, 5, 9}));
}

TEST(WindowNumbers, Parse) {
    const std::pair<std::string_view, std::optional<uint32_t>> cases[] = {
        {"7", 7},         {"+7", 7},         {"007", 7},       {"4294967295", 4294967295u},
        {"4294967296", {}}, {"99999999999999999999", {}}, {"-1", {}}, {"+", {}},
        {"", {}},         {" 7", {}},        {"7a", {}},       {"++7", {}},
    };
    for (const auto& [text, want] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(parse_window_number(text), want);
    }
}

TEST(WindowNames, Validate) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"web-2.app_x", ""},
        {"7up", ""},
        {std::string_view("abcdefghijklmnopqrstuvwxyz012345"), ""},  // 32 bytes
        {"", "name is empty"},
        {"abcdefghijklmnopqrstuvwxyz0123456", "name is longer than 32 characters"},
        // Length counts bytes, and comes before the character checks.
        {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3"
         "\xA9\xC3\xA9\xC3\xA9\xC3\xA9",
         "name is longer than 32 characters"},
        {"-web", "name must start with a letter or digit"},
        {".web", "name must start with a letter or digit"},
        {"my web", "name may not contain ' ' (use letters, digits, - _ .)"},
        {"a/b c", "name may not contain '/' (use letters, digits, - _ .)"},
        {"caf\xC3\xA9", "name may not contain '\xC3\xA9' (use letters, digits, - _ .)"},
        // Controls and broken UTF-8 never reach the one-line message raw.
        {"a\nb", "name may not contain 'U+000A' (use letters, digits, - _ .)"},
        {"a\x1b[2J", "name may not contain 'U+001B' (use letters, digits, - _ .)"},
        {"a\xE2\x80\xAE", "name may not contain 'U+202E' (use letters, digits, - _ .)"},
        {"a\xC3", "name may not contain 'U+FFFD' (use letters, digits, - _ .)"},
        {"12", "name may not be only digits (those refer to window numbers)"},
    };
    for (const auto& [name, error] : cases) {
        SCOPED_TRACE(name);
        auto got = validate_window_name(name);
        if (error.empty()) EXPECT_TRUE(got);
        else {
            ASSERT_FALSE(got);
            EXPECT_EQ(got.error().message, error);
        }
    }
}

TEST(WindowNames, DefaultBase) {
    struct Case {
        std::optional<std::string_view> project;
        std::string_view runtime, want;
    };
    const Case cases[] = {
        {"My Project!", "claude", "my-project-claude"},
        {"--Web.App--", "codex", "web.app-codex"},
        {"a  --  b", "pi", "a-b-pi"},
        {"snake_case.v2", "grok", "snake_case.v2-grok"},
        {"caf\xC3\xA9 bar", "opencode", "caf-bar-opencode"},
        {"!!! ---", "claude", "claude"},
        {"...", "claude", "claude"},
        {std::nullopt, "agent", "agent"},
        {"", "claude", "claude"},
        {"abcdefghijklmnopqrstuvwxyzabcd", "claude", "abcdefghijklmnopqrstuv-claude"},
        // The cut comes after the strip, so a "-" at the cut stays.
        {"abcdefghijklmnopqrstu-wxyz", "pi", "abcdefghijklmnopqrstu--pi"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.project.value_or("(none)"));
        EXPECT_EQ(default_name_base(c.project, c.runtime), c.want);
    }
}

TEST(WindowNames, UniqueSkipsOthersButNotSelf) {
    Server server;
    Window& first = add_window(server, 0, "proj-claude");
    Window& second = add_window(server, 1);
    EXPECT_EQ(unique_window_name(server, "proj-claude", second.id), "proj-claude-2");
    EXPECT_EQ(unique_window_name(server, "proj-claude", first.id), "proj-claude");
    add_window(server, 2, "proj-claude-2");
    EXPECT_EQ(unique_window_name(server, "proj-claude", second.id), "proj-claude-3");
    EXPECT_EQ(unique_window_name(server, "Proj-claude", second.id), "Proj-claude");
}

TEST(DefaultNames, TwoAgentsInOneProjectKeepTheirSuffix) {
    Server server;
    Window& a = add_window(server, 0);
    Window& b = add_window(server, 1);
    a.agent = agent_in(Runtime::Claude, "/home/me/proj");
    b.agent = agent_in(Runtime::Claude, "/home/me/proj");
    refresh_default_names(server);
    EXPECT_EQ(a.name, "proj-claude");
    EXPECT_EQ(b.name, "proj-claude-2");
    EXPECT_TRUE(b.name_is_default);

    WindowId b_id = b.id;
    server.windows.erase(server.windows.begin());
    refresh_default_names(server);
    EXPECT_EQ(name_of(server, b_id), "proj-claude-2");
}

TEST(DefaultNames, FollowTheAgent) {
    Server server;
    Window& w = add_window(server, 0);
    w.agent = agent_in(Runtime::Claude, "/home/me/proj");
    refresh_default_names(server);
    ASSERT_EQ(w.name, "proj-claude");

    w.agent->location->root = "/home/me/My Project!";
    refresh_default_names(server);
    EXPECT_EQ(w.name, "my-project-claude");

    w.agent->runtime = Runtime::Other;
    w.agent->location.reset();
    refresh_default_names(server);
    EXPECT_EQ(w.name, "agent");
    EXPECT_TRUE(w.name_is_default);

    // The agent exits from a plain shell: the name goes with it.
    w.agent.reset();
    refresh_default_names(server);
    EXPECT_EQ(w.name, std::nullopt);
    EXPECT_FALSE(w.name_is_default);
}

TEST(DefaultNames, UserNamesStay) {
    Server server;
    Window& w = add_window(server, 0, "mine");
    w.agent = agent_in(Runtime::Codex, "/src/proj");
    refresh_default_names(server);
    EXPECT_EQ(w.name, "mine");
    w.agent.reset();
    refresh_default_names(server);
    EXPECT_EQ(w.name, "mine");
}

TEST(DefaultNames, NewWindowKeepsItsNameUntilTheAgentHasComeAndGone) {
    Server server;
    Window& w = add_window(server, 0, "proj-claude");
    w.name_is_default = true;
    w.started_as_agent = true;
    refresh_default_names(server);
    EXPECT_EQ(w.name, "proj-claude");

    // Recognised: the start flag is cleared; then the agent exits.
    w.started_as_agent = false;
    w.agent = agent_in(Runtime::Claude, "/x/proj");
    refresh_default_names(server);
    EXPECT_EQ(w.name, "proj-claude");
    w.agent.reset();
    refresh_default_names(server);
    EXPECT_EQ(w.name, std::nullopt);
}

TEST(Rename, ChecksThenRenames) {
    Server server;
    Window& a = add_window(server, 0, "web");
    Window& b = add_window(server, 1, "api");
    b.name_is_default = true;

    auto taken = rename_local_window(server, b.id, "web");
    ASSERT_FALSE(taken);
    EXPECT_EQ(taken.error().message, "name 'web' is already taken");
    auto invalid = rename_local_window(server, b.id, "12");
    ASSERT_FALSE(invalid);
    EXPECT_EQ(invalid.error().message, "name may not be only digits (those refer to window numbers)");
    auto gone = rename_local_window(server, 99, "free");
    ASSERT_FALSE(gone);
    EXPECT_EQ(gone.error().message, "window is gone");
    EXPECT_EQ(b.name, "api");
    EXPECT_TRUE(b.name_is_default);

    ASSERT_TRUE(rename_local_window(server, b.id, "api"));  // its own name is not "taken"
    EXPECT_FALSE(b.name_is_default);
    ASSERT_TRUE(rename_local_window(server, a.id, "front"));
    EXPECT_EQ(a.name, "front");
}

TEST(Rename, ResetShellAndAgentWindows) {
    Server server;
    Window& shell = add_window(server, 0, "notes");
    Window& agent = add_window(server, 1, "mine");
    agent.agent = agent_in(Runtime::Pi, "/w/tool");

    ASSERT_TRUE(reset_window_name(server, shell.id));
    EXPECT_EQ(shell.name, std::nullopt);
    ASSERT_TRUE(reset_window_name(server, agent.id));
    EXPECT_EQ(agent.name, "tool-pi");
    EXPECT_TRUE(agent.name_is_default);

    auto gone = reset_window_name(server, 42);
    ASSERT_FALSE(gone);
    EXPECT_EQ(gone.error().message, "window is gone");
}

TEST(FindLocalWindow, ByNameThenNumber) {
    Server server;
    Window& zero = add_window(server, 0, "web");
    Window& three = add_window(server, 3);
    EXPECT_EQ(find_local_window(server, "web"), zero.id);
    EXPECT_EQ(find_local_window(server, "3"), three.id);
    EXPECT_EQ(find_local_window(server, "+3"), three.id);
    EXPECT_EQ(find_local_window(server, "Web"), std::nullopt);
    EXPECT_EQ(find_local_window(server, "4"), std::nullopt);
}

TEST(Move, OntoOccupiedNumberSwapsAndResorts) {
    Server server;
    Window& w0 = add_window(server, 0);
    Window& w1 = add_window(server, 1);
    Window& w2 = add_window(server, 2);
    ASSERT_TRUE(move_local_window(server, w0.id, 2));
    EXPECT_EQ(w0.number, 2u);
    EXPECT_EQ(w2.number, 0u);
    EXPECT_EQ(numbers(server), (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_EQ(server.windows.front()->id, w2.id);

    ASSERT_TRUE(move_local_window(server, w1.id, 9));
    EXPECT_EQ(numbers(server), (std::vector<uint32_t>{0, 2, 9}));
    EXPECT_EQ(allocate_window_number(server), 1u);

    auto gone = move_local_window(server, 77, 1);
    ASSERT_FALSE(gone);
    EXPECT_EQ(gone.error().message, "window is gone");
}

// Local windows 0 ("web"), 2, 5 with ids 0, 1, 2; the context is window 2.
struct SwapCase {
    std::string_view first;
    std::optional<std::string_view> other;
    std::optional<View> context;
    std::vector<std::pair<WindowId, uint32_t>> want;  // id -> number after the swap; empty: refused
    std::string_view error;
};

const View IN_WINDOW_2{0, 1};

const SwapCase SWAP_CASES[] = {
    {"7", std::nullopt, IN_WINDOW_2, {{0, 0}, {1, 7}, {2, 5}}, ""},
    {"5", std::nullopt, IN_WINDOW_2, {{0, 0}, {1, 5}, {2, 2}}, ""},
    {"web", std::nullopt, IN_WINDOW_2, {{0, 2}, {1, 0}, {2, 5}}, ""},
    {"0", "5", std::nullopt, {{0, 5}, {1, 2}, {2, 0}}, ""},
    {"5", "9", std::nullopt, {{0, 0}, {1, 2}, {2, 9}}, ""},
    {"9", "5", std::nullopt, {{0, 0}, {1, 2}, {2, 9}}, ""},
    {"7", "8", IN_WINDOW_2, {}, "no window 7 or 8"},
    {"+7", "08", std::nullopt, {}, "no window +7 or 08"},
    {"3", std::nullopt, std::nullopt, {}, "not running inside a ruk window; name both: swap-window WINDOW OTHER"},
    {"3", std::nullopt, View{0, 99}, {}, "window is gone"},
    {"nope", "5", std::nullopt, {}, "no window named 'nope'"},
};

TEST(Swap, LocalCases) {
    for (const auto& c : SWAP_CASES) {
        SCOPED_TRACE(std::string(c.first) + " " + std::string(c.other.value_or("-")));
        Server server;
        add_window(server, 0, "web");
        add_window(server, 2);
        add_window(server, 5);
        auto got = swap_windows(server, c.first, c.other, c.context);
        if (c.error.empty()) {
            ASSERT_TRUE(got) << got.error().message;
            for (auto [id, number] : c.want) EXPECT_EQ(find_window(server, id)->number, number) << "window id " << id;
        } else {
            ASSERT_FALSE(got);
            EXPECT_EQ(got.error().message, c.error);
            EXPECT_EQ(numbers(server), (std::vector<uint32_t>{0, 2, 5}));
        }
        auto sorted = numbers(server);
        EXPECT_TRUE(std::is_sorted(sorted.begin(), sorted.end()));
    }
}

// Local host "laptop.local" with windows 0 ("shell") and 1; machines:
//   1 me@build-7.example.com  (windows 4 "web" id 40, 6 "api" id 60)
//   2 you@build-7.other.org   (window 1 "web" id 10)
//   3 10.0.0.5                (window 2 unnamed id 20; no move-window)
//   4 old.example.com         (not connected, window 1 "web" id 11)
//   5 build                   (no windows)
//   6 ci@build.lan            (no windows; shares the short name "build")
struct World {
    Server server;
    World() {
        server.host_name = "laptop.local";
        add_window(server, 0, "shell");
        add_window(server, 1);
        add_machine(server, "me@build-7.example.com", true, {remote_window(40, 4, "web"), remote_window(60, 6, "api")});
        add_machine(server, "you@build-7.other.org", true, {remote_window(10, 1, "web")});
        add_machine(server, "10.0.0.5", true, {remote_window(20, 2, std::nullopt)}).features.clear();
        add_machine(server, "old.example.com", false, {remote_window(11, 1, "web")});
        add_machine(server, "build", true);
        add_machine(server, "ci@build.lan", true);
    }
};

TEST(Machines, DisplayNames) {
    World world;
    const std::pair<MachineId, std::string_view> cases[] = {
        {0, "laptop.local"}, {1, "build-7.example.com"}, {2, "build-7.other.org"},
        {3, "10.0.0.5"},     {4, "old"},                 {5, "build"},
        {6, "build.lan"},
    };
    for (auto [id, want] : cases) EXPECT_EQ(machine_display_name(world.server, id), want) << id;

    // A disconnected namesake does not make the name ambiguous.
    world.server.machines[1].connected = false;
    EXPECT_EQ(machine_display_name(world.server, 1), "build-7");
}

TEST(Machines, Resolve) {
    World world;
    const std::pair<std::string_view, std::variant<MachineId, std::string_view>> cases[] = {
        {"me@build-7.example.com", MachineId{1}},
        {"build-7.other.org", MachineId{2}},
        {"10.0.0.5", MachineId{3}},
        {"build", MachineId{5}},  // the exact host wins before the short names are compared
        {"build.lan", MachineId{6}},
        {"build-7", "'build-7' could be any of me@build-7.example.com, you@build-7.other.org; use the full name"},
        {"old", MachineId{4}},  // listed, though its link is down: the caller says it is not connected
        {"new", "no machine 'new' (connected: me@build-7.example.com, you@build-7.other.org, 10.0.0.5, build, ci@build.lan)"},
    };
    for (const auto& [text, want] : cases) {
        SCOPED_TRACE(text);
        auto got = resolve_machine(world.server, text);
        if (auto* id = std::get_if<MachineId>(&want)) {
            ASSERT_TRUE(got) << got.error().message;
            EXPECT_EQ(*got, *id);
        } else {
            ASSERT_FALSE(got);
            EXPECT_EQ(got.error().message, std::get<std::string_view>(want));
        }
    }

    Server none;
    for (bool with_offline : {false, true}) {
        if (with_offline) add_machine(none, "old", false);
        auto got = resolve_machine(none, "new");
        ASSERT_FALSE(got);
        EXPECT_EQ(got.error().message, "no machine 'new': not connected to any (add one with: ruk connect HOST)");
    }
}

TEST(ResolveWindow, References) {
    World world;
    struct Case {
        std::string_view text;
        MachineId default_machine;
        std::variant<WindowTarget, std::string_view> want;
    };
    const Case cases[] = {
        {"1@laptop", 2, WindowTarget{Existing{0, 1, 1}}},
        {"shell@laptop.local", 1, WindowTarget{Existing{0, 0, 0}}},
        {"7@laptop", 0, WindowTarget{FreeNumber{0, 7}}},
        {"+6@build-7.example.com", 0, WindowTarget{Existing{1, 6, 60}}},
        {"5@10.0.0.5", 0, WindowTarget{FreeNumber{3, 5}}},
        {"web@build-7.other.org", 0, WindowTarget{Existing{2, 1, 10}}},
        {"nothere@10.0.0.5", 0, "no window named 'nothere' on 10.0.0.5"},
        {"1@build-7", 0, "'build-7' could be any of me@build-7.example.com, you@build-7.other.org; use the full name"},
        {"1@nowhere", 0, "no machine 'nowhere' (connected: me@build-7.example.com, you@build-7.other.org, 10.0.0.5, build, ci@build.lan)"},
        {"4", 1, WindowTarget{Existing{1, 4, 40}}},
        {"4", 0, WindowTarget{FreeNumber{0, 4}}},
        {"web", 2, WindowTarget{Existing{2, 1, 10}}},  // the default machine wins
        {"api", 0, WindowTarget{Existing{1, 6, 60}}},
        {"shell", 1, WindowTarget{Existing{0, 0, 0}}},
        {"web", 0, "there is a 'web' on several machines; say which, as web@HOST"},
        {"nope", 0, "no window named 'nope'"},
        {"", 0, "no window named ''"},  // unnamed windows never match
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " from " + std::to_string(c.default_machine));
        auto got = resolve_window(world.server, c.text, c.default_machine);
        if (auto* target = std::get_if<WindowTarget>(&c.want)) {
            ASSERT_TRUE(got) << got.error().message;
            EXPECT_EQ(*got, *target);
        } else {
            ASSERT_FALSE(got);
            EXPECT_EQ(got.error().message, std::get<std::string_view>(c.want));
        }
    }
}

TEST(Swap, AcrossAndOnRemoteMachines) {
    struct Case {
        std::string_view first;
        std::optional<std::string_view> other;
        std::optional<View> context;
        std::string_view error;
    };
    const Case cases[] = {
        {"1", "web@build-7.other.org", std::nullopt,
         "can't swap windows between machines (laptop.local and build-7.other.org)"},
        {"api", std::nullopt, View{0, 1}, "can't swap windows between machines (build-7.example.com and laptop.local)"},
        {"2", std::nullopt, View{3, 20}, "ruk on 10.0.0.5, is too old to swap windows; update it there"},
        {"5", std::nullopt, View{1, 99}, "window is gone"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        World world;
        auto got = swap_windows(world.server, c.first, c.other, c.context);
        ASSERT_FALSE(got);
        EXPECT_EQ(got.error().message, c.error);
        EXPECT_EQ(numbers(world.server), (std::vector<uint32_t>{0, 1}));
    }

    // The link went down after the reference was typed.
    World world;
    world.server.machines[0].connected = false;
    auto got = swap_windows(world.server, "4", "6", View{1, 40});
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().message, "me@build-7.example.com is not connected");
}

TEST(HostNames, ShortName) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"me@build-7.example.com", "build-7"},
        {"a@b@host.lan", "host"},
        {"10.0.0.5", "10.0.0.5"},
        {"root@[fe80::1]", "[fe80::1]"},
        {"host:2222", "host:2222"},
        {".hidden.lan", ".hidden.lan"},
        {"plain", "plain"},
    };
    for (auto [host, want] : cases) EXPECT_EQ(short_host_name(host), want) << host;
}

TEST(HostNames, SshDestination) {
    for (std::string_view ok : {"build-7", "me@[fe80::1]", "u_1@10.0.0.5:22", "host.example.com"})
        EXPECT_TRUE(valid_ssh_destination(ok)) << ok;
    for (std::string_view bad : {"", "-oProxyCommand=x", "my host", "a/b", "h'x", "h\xC3\xA9st"}) {
        auto got = valid_ssh_destination(bad);
        ASSERT_FALSE(got) << bad;
        EXPECT_EQ(got.error().message, "'" + std::string(bad) + "' is not a valid ssh destination");
    }
}

}  // namespace
}  // namespace ruk
