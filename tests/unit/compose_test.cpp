#include "server/compose.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <functional>
#include <memory>
#include <optional>
#include <cstdio>
#include <string>

#include "server/compose_state.h"
#include "server/layout.h"
#include "server/registry.h"
#include "server/window.h"
#include "test_support.h"
#include "util/fd.h"

namespace ruk {
namespace {

Window& add_window(Server& server, uint32_t number, std::string name) {
    auto window = std::make_unique<Window>();
    window->id = server.next_window_id++;
    window->number = number;
    window->name = std::move(name);
    const TermSize pane = pane_size(server.size);
    window->screen.resize(pane.rows, pane.cols);
    return insert_window(server, std::move(window));
}

// Everything a terminal shows that a frame is responsible for.
void expect_same_terminal(const Screen& got, const Screen& want) {
    ASSERT_EQ(got.rows(), want.rows());
    ASSERT_EQ(got.cols(), want.cols());
    for (int r = 0; r < got.rows(); ++r) {
        SCOPED_TRACE("terminal row " + std::to_string(r));
        EXPECT_EQ(got.row_cells(r), want.row_cells(r));
    }
    EXPECT_EQ(got.cursor(), want.cursor());
    EXPECT_EQ(got.cursor_hidden(), want.cursor_hidden());
    EXPECT_EQ(got.application_keypad(), want.application_keypad());
    EXPECT_EQ(got.application_cursor_keys(), want.application_cursor_keys());
    EXPECT_EQ(got.bracketed_paste(), want.bracketed_paste());
    EXPECT_EQ(got.mouse_mode(), want.mouse_mode());
    EXPECT_EQ(got.mouse_encoding(), want.mouse_encoding());
}

// A user's terminal that has been sent every frame so far.
struct Terminal {
    Screen screen;
    FrameState frame;

    explicit Terminal(TermSize size) : screen(size.rows, size.cols, 0) {}

    std::string render(Server& server) {
        if (screen.rows() != server.size.rows || screen.cols() != server.size.cols)
            screen.resize(server.size.rows, server.size.cols);
        std::string bytes = render_frame(server, frame);
        screen.feed(bytes);
        return bytes;
    }

    // The terminal must look as if the whole picture had just been drawn on a
    // fresh one, and its pane must be the viewed screen cell for cell.
    void check(Server& server, const Screen* pane_source) {
        Screen fresh(server.size.rows, server.size.cols, 0);
        FrameState first;
        fresh.feed(render_frame(server, first));
        expect_same_terminal(screen, fresh);

        const TermSize pane = pane_size(server.size);
        const int offset = has_sidebar(server.size) ? SIDEBAR_COLS : 0;
        for (int r = 0; r < pane.rows; ++r) {
            SCOPED_TRACE("pane row " + std::to_string(r));
            auto want = pane_source ? pane_source->row_cells(r) : std::vector<Cell>(size_t(pane.cols));
            auto row = screen.row_cells(r);
            EXPECT_EQ(std::vector<Cell>(row.begin() + offset, row.end()), want);
        }
        if (!pane_source) {  // an empty pane, with its cursor home
            EXPECT_EQ(screen.cursor(), (CursorPos{0, offset}));
            EXPECT_FALSE(screen.cursor_hidden());
        } else if (pane_source->scrollback_offset() == 0 && !pane_source->cursor_hidden()) {
            EXPECT_EQ(screen.cursor(), (CursorPos{pane_source->cursor().row, pane_source->cursor().col + offset}));
            EXPECT_FALSE(screen.cursor_hidden());
        } else {
            EXPECT_TRUE(screen.cursor_hidden());
        }
    }
};

void resize_client(Server& server, TermSize size) {
    server.size = size;
    const TermSize pane = pane_size(size);
    for (auto& w : server.windows) w->screen.resize(pane.rows, pane.cols);
}

TEST(RenderFrame, IncrementalFramesRebuildThePicture) {
    Server server;
    server.host_name = "devbox";
    server.size = {12, 80};
    Window& shell = add_window(server, 0, "shell");
    Window& editor = add_window(server, 1, "editor");
    server.view = View{0, shell.id};
    Terminal terminal(server.size);

    struct Step {
        std::string what;
        std::function<void()> change;
        std::function<const Screen*()> pane;
    };
    auto shell_pane = [&] { return &shell.screen; };
    auto editor_pane = [&] { return &editor.screen; };
    const Step steps[] = {
        {"first frame", [] {}, shell_pane},
        {"prompt", [&] { shell.screen.feed("\x1b[1;32muser@devbox\x1b[0m:~$ "); }, shell_pane},
        {"typing", [&] { shell.screen.feed("ls -l"); }, shell_pane},
        {"scrolling output",
         [&] {
             for (int i = 0; i < 40; ++i)
                 shell.screen.feed("\r\nline " + std::to_string(i) + " \x1b[4" + std::to_string(i % 8) + "mcolour\x1b[0m 漢字");
         },
         shell_pane},
        {"erasing", [&] { shell.screen.feed("\x1b[3;1H\x1b[K\x1b[5;3H\x1b[1K\x1b[J"); }, shell_pane},
        {"switch window",
         [&] {
             editor.screen.feed("\x1b[?1049h\x1b[?1h\x1b=\x1b[?2004h\x1b[?1003h\x1b[2;4H\x1b[7mediting\x1b[0m");
             server.view = View{0, editor.id};
         },
         editor_pane},
        {"agent appears",
         [&] {
             editor.agent = Agent{};
             editor.agent->runtime = Runtime::Claude;
             editor.agent->state = AgentState::Working;
             editor.agent->location = protocol::Location{"/src/api", "main"};
         },
         editor_pane},
        {"spinner turns", [&] { ++server.tick; }, editor_pane},
        {"status message", [&] { server.status_message = StatusMessage{"window 3 is gone", server.tick + 6}; }, editor_pane},
        {"hidden cursor and modes off",
         [&] { editor.screen.feed("\x1b[?25l\x1b[?1l\x1b>\x1b[?1003l\x1b[?1000h"); },
         editor_pane},
        {"back to the shell", [&] { server.view = View{0, shell.id}; }, shell_pane},
        {"scrolled back",
         [&] {
             server.scrollback = {true, 0, shell.id, 7, shell.screen.history_lines()};
             shell.screen.set_scrollback_offset(7);
         },
         shell_pane},
        {"live again",
         [&] {
             server.scrollback = {};
             shell.screen.set_scrollback_offset(0);
         },
         shell_pane},
        {"narrower, no sidebar", [&] { resize_client(server, {10, 63}); }, shell_pane},
        {"typing without sidebar", [&] { shell.screen.feed("\r\n$ echo hi"); }, shell_pane},
        {"wide again", [&] { resize_client(server, {14, 64}); }, shell_pane},
        {"nothing viewed", [&] { server.view.reset(); }, [] { return static_cast<const Screen*>(nullptr); }},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        step.change();
        terminal.render(server);
        terminal.check(server, step.pane());
    }
}

// The four input modes and the reporting modes reach the client once, and
// afterwards only when the window changes them.
TEST(RenderFrame, ModesAreSentOnceAndThenOnChange) {
    Server server;
    server.host_name = "devbox";
    Window& w = add_window(server, 0, "shell");
    server.view = View{0, w.id};
    FrameState frame;

    std::string first = render_frame(server, frame);
    for (std::string_view want : {"\x1b[?1000h\x1b[?1002h\x1b[?1006h\x1b[?1004h", "\x1b>", "\x1b[?1l", "\x1b[?2004l",
                                  "\x1b[?1003l\x1b[?1000h\x1b[?1002h"})
        EXPECT_NE(first.find(want), std::string::npos) << want;

    w.screen.feed("\x1b[?2004h");
    std::string second = render_frame(server, frame);
    EXPECT_NE(second.find("\x1b[?2004h"), std::string::npos);
    for (std::string_view absent : {"\x1b[?1006h", "\x1b>", "\x1b[?1l", "\x1b[?1003"})
        EXPECT_EQ(second.find(absent), std::string::npos) << absent;

    // A new size redraws everything, but the terminal keeps its modes.
    frame.forget();
    std::string redraw = render_frame(server, frame);
    EXPECT_NE(redraw.find("\x1b[2J"), std::string::npos);
    EXPECT_EQ(redraw.find("\x1b[?1006h"), std::string::npos);
    EXPECT_EQ(redraw.find("\x1b[?2004"), std::string::npos);
}

TEST(RenderFrame, TypingSendsOneRowAndTheCursor) {
    Server server;
    server.host_name = "devbox";
    server.size = {24, 80};
    Window& w = add_window(server, 0, "shell");
    w.screen.feed("$ ");
    server.view = View{0, w.id};
    FrameState frame;
    ASSERT_FALSE(render_frame(server, frame).empty());

    w.screen.feed("x");
    const std::string bytes = render_frame(server, frame);
    const std::string begin = "\x1b[?2026h\x1b[?25l";
    const std::string end = "\x1b[0m\x1b[1;29H\x1b[?25h\x1b[?2026l";  // after "$ x", past the sidebar
    ASSERT_TRUE(bytes.starts_with(begin)) << bytes;
    ASSERT_TRUE(bytes.ends_with(end)) << bytes;
    const std::string body = bytes.substr(begin.size(), bytes.size() - begin.size() - end.size());
    EXPECT_NE(body.find('x'), std::string::npos);
    EXPECT_EQ(body.find("│"), std::string::npos) << "sidebar resent";
    // Every cursor position in it is on the first row, in the pane.
    int positions = 0;
    for (size_t at = body.find("\x1b["); at != std::string::npos; at = body.find("\x1b[", at + 1)) {
        int row = 0, col = 0;
        char final = 0;
        if (std::sscanf(body.c_str() + at, "\x1b[%d;%d%c", &row, &col, &final) == 3 && final == 'H') {
            ++positions;
            EXPECT_EQ(row, 1) << body;
            EXPECT_GE(col, 26) << body;
        }
    }
    EXPECT_GE(positions, 1);
}

TEST(RenderFrame, AnUnchangedPictureSendsNothing) {
    Server server;
    server.host_name = "devbox";
    Window& w = add_window(server, 0, "shell");
    w.agent = Agent{};
    w.agent->state = AgentState::Idle;
    w.screen.feed("$ ");
    server.view = View{0, w.id};
    FrameState frame;
    ASSERT_FALSE(render_frame(server, frame).empty());
    EXPECT_EQ(render_frame(server, frame), "");
    ++server.tick;  // an idle agent has no spinner to turn
    EXPECT_EQ(render_frame(server, frame), "");

    // Moving only the cursor is a change.
    w.screen.feed("\x1b[3;5H");
    EXPECT_EQ(render_frame(server, frame), "\x1b[?2026h\x1b[?25l\x1b[0m\x1b[3;30H\x1b[?25h\x1b[?2026l");
}

// A client that has not read what it was sent gets no new frame, and the
// frame it gets later is still a difference against what it was last sent.
TEST(RenderClient, WaitsForAClientThatIsFarBehind) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    Fd reader(fds[1]);
    Server server;
    server.host_name = "devbox";
    Window& w = add_window(server, 0, "shell");
    server.view = View{0, w.id};
    server.client.emplace();
    server.client->queue = std::make_unique<protocol::OutboundQueue>(Fd(fds[0]));
    ASSERT_TRUE(render_client(server));

    server.client->queue->send(std::vector<uint8_t>(3u << 20, 'x'));
    ASSERT_TRUE(test::wait_for([&] { return server.client->queue->waiting() > (1u << 20); }));
    w.screen.feed("hello");
    EXPECT_FALSE(render_client(server));
    EXPECT_FALSE(server.client->frame->pane.row(0)[0] == w.screen.cell(0, 0));
    server.client->queue->shutdown();
}

}  // namespace
}  // namespace ruk
