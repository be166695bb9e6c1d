// A user at a real terminal running ruk: the picture, windows, detaching and
// coming back, resizing and the mouse, read through an independent emulator.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>

#include "terminal_harness.h"
#include "test_support.h"

namespace ruk {
namespace {

using namespace std::chrono_literals;
using test::RukHome;
using test::Terminal;

// ESC [ row ; col H positions in a byte string, 1-based.
std::vector<std::pair<int, int>> cursor_moves(const std::string& bytes) {
    std::vector<std::pair<int, int>> moves;
    for (size_t at = bytes.find("\x1b["); at != std::string::npos; at = bytes.find("\x1b[", at + 1)) {
        size_t i = at + 2;
        auto number = [&] {
            int n = 0;
            bool any = false;
            for (; i < bytes.size() && std::isdigit(static_cast<unsigned char>(bytes[i])); ++i, any = true)
                n = n * 10 + (bytes[i] - '0');
            return any ? n : 1;
        };
        const int row = number();
        if (i < bytes.size() && bytes[i] == ';') ++i;
        const int col = number();
        if (i < bytes.size() && bytes[i] == 'H') moves.emplace_back(row, col);
    }
    return moves;
}

class AttachFlows : public ::testing::Test {
protected:
    RukHome home;
    std::string work = home.dir() / "work";

    AttachFlows() { ::mkdir(work.c_str(), 0700); }

    std::unique_ptr<Terminal> attach(int rows = 24, int cols = 80) {
        auto term = std::make_unique<Terminal>(home, std::vector<std::string>{}, test::EnvChanges{{"PS1", "$ "}},
                                               rows, cols);
        EXPECT_TRUE(term->wait_for_text("[ruk] 0:")) << term->screen();
        return term;
    }
    // Types a command and waits for a marker it prints.
    static void run(Terminal& term, const std::string& command, const std::string& marker) {
        term.type(command + "; echo " + marker + "-done\r");
        EXPECT_TRUE(term.wait_for_text(marker + "-done")) << term.screen();
    }
};

TEST_F(AttachFlows, FirstPictureTypingAndOnlyChangedRows) {
    auto term = attach();
    EXPECT_EQ(term->row(0).substr(0, 12), " AGENTS (0) ");
    EXPECT_TRUE(term->row(2).find("none running") != std::string::npos) << term->screen();
    EXPECT_EQ(term->row(23).rfind("[ruk] 0:", 0), 0u) << term->screen();
    EXPECT_EQ(term->cell_attrs(23, 0).bg, 114) << "the local machine's colour";
    EXPECT_EQ(term->cell_attrs(23, 0).fg, 0);

    run(*term, "cd " + work, "cd");
    // One more key: only the prompt row changes.
    ASSERT_TRUE(term->wait_for([&] { return term->cursor().col > 25; }));
    const int prompt_row = term->cursor().row;
    const size_t mark = term->mark();
    term->type("x");
    ASSERT_TRUE(term->wait_for([&] { return term->row(prompt_row).ends_with("x"); })) << term->screen();
    ASSERT_TRUE(term->wait_for_bytes("\x1b[?2026l", mark));
    for (const auto& [row, col] : cursor_moves(term->bytes_since(mark))) {
        EXPECT_EQ(row, prompt_row + 1);
        EXPECT_GE(col, 26) << "nothing outside the pane was redrawn";
    }
}

TEST_F(AttachFlows, WindowsDetachAndComeBack) {
    auto term = attach();
    run(*term, "cd " + work + "; echo first-window", "w0");
    term->type("\x02" "c");
    ASSERT_TRUE(term->wait_for_text("1:")) << term->screen();
    run(*term, "pwd", "w1");
    EXPECT_TRUE(term->wait_for_text(work)) << "prefix c starts in the viewed window's directory";
    EXPECT_TRUE(term->row(23).find("1:dash*") != std::string::npos || term->row(23).find("1:sh*") != std::string::npos)
        << term->row(23);
    term->type("\x02n");
    ASSERT_TRUE(term->wait_for_text("first-window"));
    term->type("\x02p");
    ASSERT_TRUE(term->wait_for([&] { return term->screen().find("first-window") == std::string::npos; }));
    term->type("\x02" "0");
    ASSERT_TRUE(term->wait_for_text("first-window"));

    term->type("\x02q");
    ASSERT_EQ(term->wait_exit(), 0);
    EXPECT_TRUE(term->screen().find("[detached]") != std::string::npos) << term->screen();
    EXPECT_EQ(term->modes(), (test::TermModes{.alt_screen = false, .cursor_visible = true, .mouse = 0}));

    auto again = attach();
    EXPECT_TRUE(again->wait_for_text("first-window")) << "the same window, with its contents";
}

TEST_F(AttachFlows, ResizingFollowsTheTerminalAndDropsTheSidebarBelow64Columns) {
    auto term = attach();
    run(*term, "stty size", "s1");
    EXPECT_TRUE(term->wait_for_text("23 55"));
    term->resize(30, 63);
    ASSERT_TRUE(term->wait_for([&] { return term->row(0).find("AGENTS") == std::string::npos; })) << term->screen();
    run(*term, "clear; stty size", "s2");
    EXPECT_TRUE(term->wait_for_text("29 63")) << term->screen();
    term->resize(30, 100);
    ASSERT_TRUE(term->wait_for_text("AGENTS"));
    run(*term, "clear; stty size", "s3");
    EXPECT_TRUE(term->wait_for_text("29 75")) << term->screen();
}

TEST_F(AttachFlows, MouseClicksSwitchAndTheWheelScrollsOrSendsArrows) {
    auto term = attach();
    run(*term, "seq 1 200", "fill");
    term->type("\x02" "c");
    ASSERT_TRUE(term->wait_for_text("1:")) << term->screen();
    // A click on "0:..." in the status bar (row 24, column 8).
    term->type("\x1b[<0;8;24M\x1b[<0;8;24m");
    ASSERT_TRUE(term->wait_for_text("fill-done")) << term->screen();
    // The wheel over a shell scrolls its history.
    term->type("\x1b[<64;40;10M");
    ASSERT_TRUE(term->wait_for_text("scrollback 3/")) << term->screen();
    term->type("q");
    ASSERT_TRUE(term->wait_for([&] { return term->screen().find("scrollback") == std::string::npos; }));
    // Over less (alternate screen, no mouse reports) the wheel sends arrow keys.
    test::write_file(work + "/lines", [] {
        std::string text;
        for (int i = 1; i <= 500; ++i) text += "line " + std::to_string(i) + "\n";
        return text;
    }());
    term->type("less " + work + "/lines\r");
    ASSERT_TRUE(term->wait_for([&] { return term->row(0).find("line 1") != std::string::npos; })) << term->screen();
    term->type("\x1b[<65;40;10M");
    EXPECT_TRUE(term->wait_for([&] { return term->row(0).find("line 4") != std::string::npos; })) << term->screen();
    term->type("q");
}

// vim and less inside ruk draw the same pane as in a bare terminal of the
// pane's size: every row and the cursor.
TEST_F(AttachFlows, FullScreenProgramsMatchABareTerminal) {
    std::string text;
    for (int i = 1; i <= 300; ++i) text += "row " + std::to_string(i) + " \xe4\xb8\xad\xe6\x96\x87 wide \x1b\n";
    test::write_file(work + "/file", text);
    struct Program {
        std::string command;
        std::string keys;  // typed once it shows
        std::string ready;
    };
    const Program programs[] = {
        // A UTF-8 locale of their own: a fresh machine may have none set, and
        // less then takes the wide characters for a binary file.
        {"LC_ALL=C.UTF-8 vim -u NONE -N -i NONE -n " + work + "/file", "5Gfw", "row 1"},
        {"LC_ALL=C.UTF-8 less -R " + work + "/file", "  ", "row"},
    };
    for (const auto& p : programs) {
        SCOPED_TRACE(p.command);
        auto term = attach();
        run(*term, "cd " + work, "cd");
        term->type(p.command + "\r");
        ASSERT_TRUE(term->wait_for([&] { return term->row(0).find(p.ready) != std::string::npos; })) << term->screen();
        term->type(p.keys);

        Terminal bare({"sh", "-c", p.command}, test::environment_with({{"TERM", "xterm-256color"}}), 23, 55);
        ASSERT_TRUE(bare.wait_for([&] { return bare.row(0).find(p.ready) != std::string::npos; })) << bare.screen();
        bare.type(p.keys);

        auto pane_rows = [&] {
            std::vector<std::string> rows;
            for (int r = 0; r < 23; ++r) {
                std::string row = term->row(r);
                // Drop the sidebar: 24 columns and the separator.
                const auto bar = row.find("\xe2\x94\x82");
                rows.push_back(bar == std::string::npos ? "" : row.substr(bar + 3));
            }
            return rows;
        };
        const bool same = term->wait_for([&] {
            return pane_rows() == bare.rows() && term->cursor().row == bare.cursor().row &&
                   term->cursor().col == bare.cursor().col + 25;
        }, 10s);
        EXPECT_TRUE(same) << "ruk:\n" << term->screen() << "\nbare:\n" << bare.screen();
        term->type(p.command.starts_with("vim") ? "\x1b:q!\r" : "q");
        bare.type(p.command.starts_with("vim") ? "\x1b:q!\r" : "q");
        home.kill_servers();
    }
}

}  // namespace
}  // namespace ruk
