// What the attached client types, read against a server whose windows have no
// program: the prefix keys, the views' keys, the mouse and the prompts. What
// would reach a window's program is watched through the server's input tap.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <string>
#include <utility>
#include <vector>

#include "protocol/frame.h"
#include "protocol/messages.h"
#include "server/commands.h"
#include "server/keys.h"
#include "server/local_windows.h"
#include "server/layout.h"
#include "server/mouse.h"
#include "server/registry.h"
#include "server/server.h"
#include "server/status.h"
#include "server/view.h"
#include "server/window.h"
#include "ui/sidebar.h"
#include "ui/status_bar.h"

namespace ruk {
namespace {

std::span<const uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

class KeysTest : public ::testing::Test {
protected:
    Server server;
    std::vector<std::pair<View, std::string>> typed;

    KeysTest() {
        server.host_name = "here";
        server.size = {24, 80};  // pane 23 x 55 beside the sidebar
        server.input_tap = [this](View view, std::span<const uint8_t> bytes) {
            typed.emplace_back(view, std::string(bytes.begin(), bytes.end()));
        };
    }

    WindowId add_window(uint32_t number, std::optional<std::string> name = std::nullopt) {
        auto window = std::make_unique<Window>();
        const WindowId id = server.next_window_id++;
        window->id = id;
        window->number = number;
        window->name = std::move(name);
        window->screen = Screen(23, 55);
        insert_window(server, std::move(window));
        return id;
    }
    // Windows numbered 0..n-1, the first one viewed.
    std::vector<WindowId> add_windows(int n) {
        std::vector<WindowId> ids;
        for (int i = 0; i < n; ++i) ids.push_back(add_window(uint32_t(i)));
        switch_view(server, 0, ids.front());
        return ids;
    }
    Window& window(WindowId id) { return *find_window(server, id); }
    void press(std::string_view input) { handle_input(server, bytes_of(input)); }
    // Everything typed into the window, in order.
    std::string typed_into(MachineId machine, WindowId id) const {
        std::string all;
        for (const auto& [view, bytes] : typed)
            if (view == View{machine, id}) all += bytes;
        return all;
    }
    std::string all_typed() const {
        std::string all;
        for (const auto& t : typed) all += t.second;
        return all;
    }
    // Gives the window a history of `lines` lines.
    void fill_history(WindowId id, int lines) {
        std::string text;
        for (int i = 0; i < lines + 22; ++i) text += "line " + std::to_string(i) + "\r\n";
        window(id).screen.feed(text);
    }
    Machine& add_machine(std::string host, bool connected, std::vector<protocol::WindowInfo> windows) {
        Machine m;
        m.id = server.next_machine_id++;
        m.host = std::move(host);
        m.connected = connected;
        m.windows = std::move(windows);
        server.machines.push_back(std::move(m));
        return server.machines.back();
    }
    std::optional<std::string> status() const {
        const std::string* text = current_status_message(server);
        return text ? std::optional<std::string>(*text) : std::nullopt;
    }
};

protocol::WindowInfo remote_window(uint32_t id, uint32_t number, std::optional<std::string> name = std::nullopt) {
    protocol::WindowInfo info;
    info.id = id;
    info.index = number;
    info.name = std::move(name);
    info.process = "sh";
    return info;
}

Agent agent_of(Runtime runtime, AgentState state = AgentState::Idle, bool done = false) {
    Agent agent;
    agent.runtime = runtime;
    agent.state = state;
    agent.done = done;
    return agent;
}

std::string sgr(int button, int x, int y, bool release = false) {
    return "\x1b[<" + std::to_string(button) + ";" + std::to_string(x) + ";" + std::to_string(y) + (release ? "m" : "M");
}

// --- navigation keys ---------------------------------------------------------

struct NavCase {
    std::string_view input;
    NavKey want;
};

const NavCase NAV_CASES[] = {
    {"\x1b", {NavKind::Leave, 0, 1}},
    {"\x1b[A", {NavKind::Lines, 1, 3}},
    {"\x1bOA", {NavKind::Lines, 1, 3}},
    {"\x1b[Bj", {NavKind::Lines, -1, 3}},
    {"\x1bOB", {NavKind::Lines, -1, 3}},
    {"\x1b[H", {NavKind::Top, 0, 3}},
    {"\x1bOF", {NavKind::Bottom, 0, 3}},
    {"\x1b[5~", {NavKind::Pages, 2, 4}},
    {"\x1b[5;2~q", {NavKind::Pages, 2, 6}},
    {"\x1b[6~", {NavKind::Pages, -2, 4}},
    {"\x1b[6;2~", {NavKind::Pages, -2, 6}},
    {"\x1b[1~", {NavKind::Top, 0, 4}},
    {"\x1b[7~", {NavKind::Top, 0, 4}},
    {"\x1b[4~", {NavKind::Bottom, 0, 4}},
    {"\x1b[8~", {NavKind::Bottom, 0, 4}},
    {"\x1b[1;5Cx", {NavKind::Other, 0, 6}},  // another sequence goes whole
    {"\x1b[200~", {NavKind::Other, 0, 6}},
    {"\x1bk", {NavKind::Other, 0, 1}},  // an escape that is not the last byte is not a leave
    {"k", {NavKind::Lines, 1, 1}},
    {"\x10", {NavKind::Lines, 1, 1}},
    {"j", {NavKind::Lines, -1, 1}},
    {"\x0e", {NavKind::Lines, -1, 1}},
    {"\r", {NavKind::Lines, -1, 1}},
    {"u", {NavKind::Pages, 1, 1}},
    {"\x15", {NavKind::Pages, 1, 1}},
    {"d", {NavKind::Pages, -1, 1}},
    {"\x04", {NavKind::Pages, -1, 1}},
    {"b", {NavKind::Pages, 2, 1}},
    {"f", {NavKind::Pages, -2, 1}},
    {" ", {NavKind::Pages, -2, 1}},
    {"\x06", {NavKind::Pages, -2, 1}},
    {"g", {NavKind::Top, 0, 1}},
    {"G", {NavKind::Bottom, 0, 1}},
    {"q", {NavKind::Leave, 0, 1}},
    {"x", {NavKind::Other, 0, 1}},
    {"\xc3\xa9", {NavKind::Other, 0, 1}},
};

TEST(ReadNavKey, ReadsOneKey) {
    for (const auto& c : NAV_CASES) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.input)));
        EXPECT_EQ(read_nav_key(bytes_of(c.input)), c.want);
    }
}

// --- prefix keys -------------------------------------------------------------

struct PrefixCase {
    std::string_view what;
    int windows;
    std::optional<int> viewed;  // nothing: the view is on a window that went
    std::string_view input;
    int want_view;
    std::vector<std::pair<int, std::string_view>> want_typed;  // window index, bytes
};

const PrefixCase PREFIX_CASES[] = {
    {"ctrl+b twice types one ctrl+b", 2, 0, "\x02\x02", 0, {{0, "\x02"}}},
    {"a key without meaning is dropped", 2, 0, "\x02x", 0, {}},
    {"typing before and after a switch", 2, 0, "ab\x02nc", 1, {{0, "ab"}, {1, "c"}}},
    {"next wraps", 3, 2, "\x02n", 0, {}},
    {"previous wraps", 3, 0, "\x02p", 2, {}},
    {"next with a single window stays", 1, 0, "\x02n", 0, {}},
    {"next from a view that went is the second", 3, std::nullopt, "\x02n", 1, {}},
    {"previous from a view that went is the last", 3, std::nullopt, "\x02p", 2, {}},
    {"a number", 3, 0, "\x02\x32", 2, {}},
    {"a number no window has", 3, 1, "\x02\x37x", 1, {{1, "x"}}},
    {"pasted text goes as it is", 1, 0, "\x1b[200~hi \x1b[A\x1b[201~", 0, {{0, "\x1b[200~hi \x1b[A\x1b[201~"}}},
    {"ctrl+b inside a paste starts a prefix", 2, 0, "\x1b[200~a\x02nb\x1b[201~", 1,
     {{0, "\x1b[200~a"}, {1, "b\x1b[201~"}}},
    {"focus reports are not typed", 1, 0, "\x1b[Oa\x1b[I", 0, {{0, "a"}}},
    {"a malformed mouse report is typed", 1, 0, "\x1b[<1;2x", 0, {{0, "\x1b[<1;2x"}}},
};

TEST_F(KeysTest, PrefixKeysSwitchWindowsAndTypeTheRest) {
    for (const auto& c : PREFIX_CASES) {
        SCOPED_TRACE(c.what);
        server.windows.clear();
        server.view.reset();
        server.prefix_pending = false;
        typed.clear();
        auto ids = add_windows(c.windows);
        if (c.viewed) {
            switch_view(server, 0, ids[size_t(*c.viewed)]);
        } else {
            server.view = View{0, 999};
        }
        press(c.input);
        EXPECT_EQ(server.view, (View{0, ids[size_t(c.want_view)]}));
        std::vector<std::pair<View, std::string>> want;
        for (const auto& [index, bytes] : c.want_typed) want.emplace_back(View{0, ids[size_t(index)]}, bytes);
        EXPECT_EQ(typed, want);
        EXPECT_FALSE(server.prefix_pending);
    }
}

TEST_F(KeysTest, APrefixSplitAcrossInputsStillWorks) {
    auto ids = add_windows(2);
    press("\x02");
    EXPECT_TRUE(server.prefix_pending);
    EXPECT_TRUE(typed.empty());
    press("n");
    EXPECT_EQ(server.view, (View{0, ids[1]}));
}

TEST_F(KeysTest, WindowKeysActOnTheViewedMachine) {
    add_windows(2);
    add_machine("me@box.example.org", false,
                {remote_window(7, 0, "far"), remote_window(9, 3)});
    switch_view(server, 1, 9);
    ASSERT_EQ(server.view, (View{1, 9}));

    press("\x02\x30");
    EXPECT_EQ(server.view, (View{1, 7})) << "prefix 0 is window 0 of the remote machine";
    press("\x02n");
    EXPECT_EQ(server.view, (View{1, 9}));
    press("\x02\x63");
    EXPECT_EQ(status(), "box is offline");
    server.status_message.reset();
    press("\x02rx\r");
    EXPECT_EQ(status(), "box is offline") << "renaming needs the machine";
    switch_view(server, 1, 12345);
    EXPECT_EQ(server.view, (View{1, 9})) << "a window the machine does not have";
    switch_view(server, 5, 7);
    EXPECT_EQ(server.view, (View{1, 9})) << "a machine that does not exist";
}

TEST_F(KeysTest, PrefixAGoesToTheNextAgentThatNeedsTheUser) {
    auto ids = add_windows(4);
    auto agent = [&](int i, AgentState state, bool done = false) {
        window(ids[size_t(i)]).agent = agent_of(Runtime::Claude, state, done);
    };
    agent(0, AgentState::Idle);
    agent(1, AgentState::Idle, true);
    agent(2, AgentState::NeedsInput);
    agent(3, AgentState::NeedsInput);

    press("\x02\x61");
    EXPECT_EQ(server.view, (View{0, ids[2]}));
    press("\x02\x61");
    EXPECT_EQ(server.view, (View{0, ids[3]}));
    press("\x02\x61");
    EXPECT_EQ(server.view, (View{0, ids[2]})) << "the order wraps around";

    agent(2, AgentState::Working);
    agent(3, AgentState::Working);
    press("\x02\x61");
    EXPECT_EQ(server.view, (View{0, ids[1]})) << "then a finished one";
    EXPECT_FALSE(window(ids[1]).agent->done) << "viewing clears the mark";
    press("\x02\x61");
    EXPECT_EQ(server.view, (View{0, ids[1]})) << "nothing left: the view stays";
}

TEST_F(KeysTest, PrefixQDetachesTheClient) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    Fd ours(pair[1]);
    const timeval limit{10, 0};
    ::setsockopt(ours.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    server.client.emplace();
    server.client->conn = 1;
    server.client->queue = std::make_unique<protocol::OutboundQueue>(Fd(pair[0]));
    auto ids = add_windows(1);

    press("a\x02qb");
    EXPECT_FALSE(server.client);
    EXPECT_EQ(typed_into(0, ids[0]), "a") << "what came after the detach is not typed";

    protocol::FrameReader reader(ours.get());
    std::vector<protocol::ServerMessage> got;
    while (true) {
        auto frame = reader.next();
        ASSERT_TRUE(frame) << frame.error().message;
        if (!*frame) break;
        auto message = protocol::decode_server_message(**frame);
        ASSERT_TRUE(message);
        got.push_back(*message);
    }
    const std::vector<protocol::ServerMessage> want = {
        protocol::server::Output{protocol::Bytes{'\x1b', '[', '?', '1', '0', '0', '4', 'l'}},
        protocol::server::Detach{"detached"},
    };
    EXPECT_EQ(got, want);
}

// --- view switching ----------------------------------------------------------

TEST_F(KeysTest, ViewHistoryKeepsTheMostRecentFirstWithoutDuplicates) {
    auto ids = add_windows(70);
    switch_view(server, 0, ids[1]);
    switch_view(server, 0, ids[2]);
    switch_view(server, 0, ids[1]);
    const std::vector<View> recent(server.view_history.begin(), server.view_history.begin() + 3);
    EXPECT_EQ(recent, (std::vector<View>{{0, ids[1]}, {0, ids[2]}, {0, ids[0]}}));
    EXPECT_EQ(server.view_history.size(), 3u);
    for (WindowId id : ids) switch_view(server, 0, id);
    EXPECT_EQ(server.view_history.size(), 64u);
    EXPECT_EQ(server.view_history.front(), (View{0, ids.back()}));

    switch_view(server, 0, 4242);
    EXPECT_EQ(server.view, (View{0, ids.back()})) << "a window that does not exist";
}

TEST_F(KeysTest, AViewedWindowTakesThePaneSize) {
    const WindowId id = add_window(0);
    window(id).screen = Screen(10, 10);
    switch_view(server, 0, id);
    EXPECT_EQ(window(id).screen.rows(), 23);
    EXPECT_EQ(window(id).screen.cols(), 55);
}

TEST_F(KeysTest, GoingToAMachineWithoutWindowsAsksForOne) {
    add_windows(1);
    Machine& m = add_machine("quiet.example", true, {});
    const MachineId id = m.id;
    go_to_target(server, ViewTarget{id, std::nullopt});
    // The link cannot carry the request (or the machine is down): it says so.
    EXPECT_EQ(status(), "quiet is offline");
    server.machines.back().windows.push_back(remote_window(3, 0));
    go_to_target(server, ViewTarget{id, std::nullopt});
    EXPECT_EQ(server.view, (View{id, 3}));
}

// --- scrollback ----------------------------------------------------------------

TEST_F(KeysTest, ScrollbackNavigatesAndLetsOtherKeysThrough) {
    auto ids = add_windows(2);
    fill_history(ids[0], 100);

    press("\x02[");
    EXPECT_TRUE(scrollback_on_view(server));
    EXPECT_EQ(server.scrollback.offset, 0u) << "prefix [ enters at the live screen";
    press("kkk");
    EXPECT_EQ(server.scrollback.offset, 3u);
    EXPECT_EQ(window(ids[0]).screen.scrollback_offset(), 0u) << "the screen itself stays live";
    press("\x1b[6~");  // a page down (two half pages of 11) ends at the bottom
    EXPECT_FALSE(server.scrollback.active) << "reaching the live screen ends scrollback";

    press("\x02[g");
    EXPECT_EQ(server.scrollback.offset, 100u) << "g goes to the oldest line";
    EXPECT_EQ(server.scrollback.max_offset, 100u);
    press("\x02n");
    EXPECT_EQ(server.view, (View{0, ids[1]})) << "the prefix still works inside scrollback";
    press("\x02p");
    EXPECT_TRUE(scrollback_on_view(server)) << "the scrollback stays with its window";
    press("x");
    EXPECT_FALSE(server.scrollback.active);
    EXPECT_EQ(typed_into(0, ids[0]), "x") << "another key leaves and reaches the program";
    EXPECT_TRUE(typed_into(0, ids[1]).empty());
}

TEST_F(KeysTest, ScrollingOnStartsWhereNewOutputLeftTheView) {
    auto ids = add_windows(1);
    fill_history(ids[0], 50);
    press("\x02[kkkkk");
    ASSERT_EQ(server.scrollback.offset, 5u);
    const std::string more = "a\r\nb\r\nc\r\n";  // three more lines go into the history
    feed_output(server, ids[0], std::vector<uint8_t>(more.begin(), more.end()));
    EXPECT_EQ(viewed_scrollback_offset(server), 8u) << "the same lines stay in view";
    press("k");
    EXPECT_EQ(server.scrollback.offset, 9u);
}

TEST_F(KeysTest, ShiftPageUpScrollsUnlessTheProgramIsFullScreen) {
    auto ids = add_windows(1);
    fill_history(ids[0], 100);
    press("\x1b[5;2~");
    EXPECT_TRUE(scrollback_on_view(server));
    EXPECT_EQ(server.scrollback.offset, 22u) << "two half pages of a 23-row pane";
    press("q");
    EXPECT_FALSE(server.scrollback.active);
    EXPECT_TRUE(typed.empty());

    window(ids[0]).screen.feed("\x1b[?1049h");
    press("\x1b[5;2~");
    EXPECT_FALSE(server.scrollback.active);
    EXPECT_EQ(all_typed(), "\x1b[5;2~");
}

// --- mouse ---------------------------------------------------------------------

struct WheelCase {
    std::string_view what;
    std::string_view modes;  // fed to the window's screen
    int button;
    std::string_view want_typed;
    size_t want_offset;
};

const WheelCase WHEEL_CASES[] = {
    {"a shell scrolls its history", "", 64, "", 3},
    {"wheel down at the bottom stays live", "", 65, "", 0},
    {"a full-screen program gets arrow keys", "\x1b[?1049h", 64, "\x1b[A\x1b[A\x1b[A", 0},
    {"in application cursor mode", "\x1b[?1049h\x1b[?1h", 65, "\x1bOB\x1bOB\x1bOB", 0},
    {"a program that wants the mouse gets the wheel", "\x1b[?1000h\x1b[?1006h", 64, "\x1b[<64;5;6M", 0},
    {"also on the alternate screen", "\x1b[?1049h\x1b[?1000h\x1b[?1006h", 69, "\x1b[<69;5;6M", 0},
};

TEST_F(KeysTest, TheWheelScrollsSendsArrowsOrReachesTheProgram) {
    for (const auto& c : WHEEL_CASES) {
        SCOPED_TRACE(c.what);
        server.windows.clear();
        server.scrollback = {};
        typed.clear();
        auto ids = add_windows(1);
        fill_history(ids[0], 50);
        window(ids[0]).screen.feed(c.modes);
        press(sgr(c.button, 30, 6));
        EXPECT_EQ(all_typed(), c.want_typed);
        EXPECT_EQ(server.scrollback.offset, c.want_offset);
        EXPECT_EQ(server.scrollback.active, c.want_offset != 0);
    }
}

TEST_F(KeysTest, TheWheelInScrollbackScrollsEvenWhenTheProgramWantsTheMouse) {
    auto ids = add_windows(1);
    fill_history(ids[0], 50);
    press(sgr(64, 30, 6));
    window(ids[0]).screen.feed("\x1b[?1000h");
    press(sgr(64, 30, 6));
    EXPECT_EQ(server.scrollback.offset, 6u);
    press(sgr(65, 30, 6) + sgr(65, 30, 6));
    EXPECT_FALSE(server.scrollback.active);
    EXPECT_TRUE(typed.empty());
}

struct EncodeCase {
    std::string_view what;
    MouseEvent event;
    int column;
    MouseMode mode;
    MouseEncoding encoding;
    std::string_view want;
};

const EncodeCase ENCODE_CASES[] = {
    {"sgr press", {0, 30, 5, false}, 5, MouseMode::Press, MouseEncoding::Sgr, "\x1b[<0;5;5M"},
    {"sgr release", {2, 30, 5, true}, 5, MouseMode::PressRelease, MouseEncoding::Sgr, "\x1b[<2;5;5m"},
    {"classic press", {0, 30, 5, false}, 5, MouseMode::Press, MouseEncoding::Default, "\x1b[M %%"},
    {"classic release is button 3", {1, 30, 5, true}, 5, MouseMode::PressRelease, MouseEncoding::Default,
     "\x1b[M#%%"},
    {"utf-8 encoding is sent classic", {0, 30, 5, false}, 5, MouseMode::Press, MouseEncoding::Utf8, "\x1b[M %%"},
    {"classic bytes stop at 255", {0, 400, 300, false}, 375, MouseMode::Press, MouseEncoding::Default,
     "\x1b[M \xff\xff"},
    {"no mouse mode: nothing", {0, 30, 5, false}, 5, MouseMode::None, MouseEncoding::Sgr, ""},
    {"press mode drops releases", {0, 30, 5, true}, 5, MouseMode::Press, MouseEncoding::Sgr, ""},
    {"press mode drops drags", {32, 30, 5, false}, 5, MouseMode::Press, MouseEncoding::Sgr, ""},
    {"press-release mode drops drags", {32, 30, 5, false}, 5, MouseMode::PressRelease, MouseEncoding::Sgr, ""},
    {"button motion passes drags", {32, 30, 5, false}, 5, MouseMode::ButtonMotion, MouseEncoding::Sgr,
     "\x1b[<32;5;5M"},
    {"button motion drops moves", {35, 30, 5, false}, 5, MouseMode::ButtonMotion, MouseEncoding::Sgr, ""},
    {"any motion passes moves", {35, 30, 5, false}, 5, MouseMode::AnyMotion, MouseEncoding::Sgr, "\x1b[<35;5;5M"},
};

TEST(EncodeMouseReport, FollowsTheProgramsModeAndEncoding) {
    for (const auto& c : ENCODE_CASES) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(encode_mouse_report(c.event, c.column, c.mode, c.encoding), c.want);
    }
}

TEST_F(KeysTest, ClicksInThePaneReachTheProgramShiftedIntoThePane) {
    auto ids = add_windows(1);
    window(ids[0]).screen.feed("\x1b[?1000h");
    press(sgr(0, 30, 5));
    EXPECT_EQ(all_typed(), "\x1b[M %%") << "column 30 is pane column 5";
    typed.clear();
    window(ids[0]).screen.feed("\x1b[?1006h");
    press("a" + sgr(0, 30, 5) + "b");
    EXPECT_EQ(typed, (std::vector<std::pair<View, std::string>>{
                         {View{0, ids[0]}, "a"}, {View{0, ids[0]}, "\x1b[<0;5;5M"}, {View{0, ids[0]}, "b"}}))
        << "what was typed before the report goes first";

    typed.clear();
    server.size = {24, 60};  // no sidebar: nothing is shifted
    press(sgr(0, 3, 5));
    EXPECT_EQ(all_typed(), "\x1b[<0;3;5M");
}

TEST_F(KeysTest, AMouseReportCutByTheEndOfAnInputIsCompletedByTheNext) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    Fd ours(pair[1]);
    server.client.emplace();
    server.client->queue = std::make_unique<protocol::OutboundQueue>(Fd(pair[0]));
    auto ids = add_windows(1);
    window(ids[0]).screen.feed("\x1b[?1000h\x1b[?1006h");
    press("x\x1b[<0;30");
    press(";5Mb");
    EXPECT_EQ(typed_into(0, ids[0]), "x\x1b[<0;5;5Mb");
}

TEST_F(KeysTest, ClicksOnTheSidebarAndStatusBarSwitchWindows) {
    auto ids = add_windows(3);
    for (WindowId id : ids) window(id).agent = agent_of(Runtime::Codex);
    const auto sidebar = build_sidebar(server, SIDEBAR_WIDTH, pane_size(server.size).rows);
    int row = -1;
    for (size_t r = 0; r < sidebar.targets.size() && row < 0; ++r)
        if (sidebar.targets[r] == SidebarTarget{SidebarTarget::Kind::ToWindow, 0, ids[2]}) row = int(r);
    ASSERT_GE(row, 0);

    server.help.open = true;
    press(sgr(0, 3, row + 1));
    EXPECT_FALSE(server.help.open);
    EXPECT_EQ(server.view, (View{0, ids[2]})) << "a click on the sidebar closes the help and goes on";

    server.help.open = true;
    press(sgr(0, 40, 4));
    EXPECT_FALSE(server.help.open);
    EXPECT_TRUE(typed.empty()) << "a click in the pane only closes the help";

    const auto hits = build_status_bar(server).hits;
    ASSERT_EQ(hits.size(), 3u);
    press(sgr(0, hits[1].first + 1, 24));
    EXPECT_EQ(server.view, (View{0, ids[1]}));
    press(sgr(0, hits[0].first + 1, 24, true) + sgr(32, hits[0].first + 1, 24));
    EXPECT_EQ(server.view, (View{0, ids[1]})) << "releases and drags are no clicks";
}

// --- prompts -------------------------------------------------------------------

TEST_F(KeysTest, PromptsTakeOnlyPrintableAscii) {
    add_windows(1);
    press("\x02:ab\xc3\xa9\x01\x1b[Ac");
    ASSERT_TRUE(server.prompt);
    EXPECT_EQ(server.prompt->input, "abc");
    press("\x7f\x08");
    EXPECT_EQ(server.prompt->input, "a");
    press("x\x15y");
    EXPECT_EQ(server.prompt->input, "y");
    press("\x1b");
    EXPECT_FALSE(server.prompt) << "escape cancels";
    press("\x02:z\x03");
    EXPECT_FALSE(server.prompt) << "so does ctrl+c";
    EXPECT_TRUE(typed.empty());
}

TEST_F(KeysTest, TheRenamePromptRenamesOrRestoresTheDefaultName) {
    auto ids = add_windows(2);
    window(ids[0]).agent = agent_of(Runtime::Claude);
    window(ids[0]).name = "mine";

    press("\x02r");
    ASSERT_TRUE(server.prompt);
    EXPECT_EQ(server.prompt->input, "mine") << "the prompt starts with the current name";
    press("\x15   \r");
    EXPECT_FALSE(server.prompt);
    EXPECT_EQ(window(ids[0]).name, "claude") << "blanks restore the default name";
    EXPECT_TRUE(window(ids[0]).name_is_default);

    press("\x02r\x15  web.app \r");
    EXPECT_EQ(window(ids[0]).name, "web.app");
    EXPECT_FALSE(window(ids[0]).name_is_default);
    EXPECT_FALSE(status());

    press("\x02r\x15\x31\x32\r");
    EXPECT_EQ(status(), "name may not be only digits (those refer to window numbers)");
    EXPECT_EQ(window(ids[0]).name, "web.app");
    server.tick += STATUS_MESSAGE_TICKS;
    EXPECT_FALSE(status()) << "the message goes after three seconds";

    switch_view(server, 0, ids[1]);
    press("\x02r");
    EXPECT_EQ(server.prompt->input, "") << "an unnamed window starts empty";
    press("\r");
    EXPECT_FALSE(window(ids[1]).name) << "a plain shell keeps no name";
}

TEST_F(KeysTest, TheCommandPromptRunsOnlyItsCommandsAndShowsTheFirstLine) {
    add_windows(1);
    press("\x02:  frobnicate now\r");
    EXPECT_EQ(status(),
              "no command 'frobnicate' here (try: swap-window, rename, name, send, connect, disconnect, notify)");

    server.status_message.reset();
    press("\x02:   \r");
    EXPECT_FALSE(status()) << "nothing typed, nothing run";

    const auto reply = run_command(server, {"swap-window", "7", "8"}, server.view);
    ASSERT_FALSE(reply.ok);
    press("\x02:swap-window 7  8\r");
    EXPECT_EQ(status(), reply.text.substr(0, reply.text.find('\n')));
    EXPECT_FALSE(server.prompt);
    EXPECT_TRUE(typed.empty());
}

// --- help and switcher ---------------------------------------------------------

TEST_F(KeysTest, HelpClosesWithItsKeysAndCtrlBStartsAPrefix) {
    auto ids = add_windows(2);
    press("\x02?");
    EXPECT_TRUE(server.help.open);
    press("jkGg\x1b[5~");
    EXPECT_TRUE(server.help.open);
    press("?");
    EXPECT_FALSE(server.help.open);
    press("\x02?q");
    EXPECT_FALSE(server.help.open);
    press("\x02?\x02n");
    EXPECT_FALSE(server.help.open);
    EXPECT_EQ(server.view, (View{0, ids[1]}));
    EXPECT_TRUE(typed.empty());
}

struct QueryCase {
    std::string_view input;
    std::string_view want;
};

const QueryCase QUERY_CASES[] = {
    {"api web", "api web"},
    {"api web\x17", "api "},
    {"api web  \x17", "api "},
    {"api \x17\x17", ""},
    {"web\x17", ""},
    {"abc\x7f\x08", "a"},
    {"abc\x15x", "x"},
    {"a\xc3\xa9\x01\x1b[C\x1bOAb", "ab"},
};

TEST_F(KeysTest, SwitcherKeysEditTheQuery) {
    add_windows(1);
    for (const auto& c : QUERY_CASES) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.input)));
        press("\x02s");
        ASSERT_TRUE(server.switcher);
        press(c.input);
        ASSERT_TRUE(server.switcher);
        EXPECT_EQ(server.switcher->query, c.want);
        press("\x07");
        EXPECT_FALSE(server.switcher);
    }
    EXPECT_TRUE(typed.empty());
}

TEST_F(KeysTest, TheSwitcherClosesOnItsKeysAndOpensOverOtherViews) {
    auto ids = add_windows(2);
    fill_history(ids[0], 30);
    press("\x02[k\x02s");
    EXPECT_FALSE(server.scrollback.active) << "the switcher ends scrollback";
    press("\x1b");
    EXPECT_FALSE(server.switcher);
    press("\x02s\x03");
    EXPECT_FALSE(server.switcher);
    press("\x02s\x02n");
    EXPECT_FALSE(server.switcher);
    EXPECT_EQ(server.view, (View{0, ids[1]})) << "ctrl+b closes the switcher and starts a prefix";
    EXPECT_TRUE(typed.empty());
}

}  // namespace
}  // namespace ruk
