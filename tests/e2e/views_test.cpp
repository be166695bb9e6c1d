// The views besides the live window, as a user at a real terminal meets
// them: the window switcher, the key help and the scrollback.
#include <gtest/gtest.h>

#include "terminal_harness.h"
#include "test_support.h"

namespace ruk {
namespace {

using namespace std::chrono_literals;
using test::RukHome;
using test::Terminal;

constexpr int STATUS_ROW = 23;
constexpr int PANE_COLUMN = 25;  // beside the sidebar at 80 columns

class Views : public ::testing::Test {
protected:
    RukHome home;

    std::unique_ptr<Terminal> attach() {
        auto term = std::make_unique<Terminal>(home, std::vector<std::string>{}, test::EnvChanges{{"PS1", "$ "}}, 24,
                                               80);
        EXPECT_TRUE(term->wait_for_text("[ruk] 0:")) << term->screen();
        return term;
    }
    static bool status_has(const Terminal& term, std::string_view text) {
        return term.row(STATUS_ROW).find(text) != std::string::npos;
    }
    static void wait_status(const Terminal& term, std::string_view text) {
        EXPECT_TRUE(term.wait_for([&] { return status_has(term, text); })) << text << "\n" << term.screen();
    }
    static bool box_shown(const Terminal& term) { return term.screen().find("switch to (") != std::string::npos; }
};

TEST_F(Views, TheSwitcherFindsWindowsByNameAndGoesBack) {
    auto term = attach();
    term->type("\x02r");
    wait_status(*term, " rename window 0: █");
    term->type("alpha\r");
    wait_status(*term, "0:alpha*");
    term->type("\x02" "c");
    wait_status(*term, "1:");
    term->type("\x02rbeta\r");
    wait_status(*term, "1:beta*");

    term->type("\x02s");
    ASSERT_TRUE(term->wait_for([&] { return box_shown(*term); })) << term->screen();
    term->type("alp");
    ASSERT_TRUE(term->wait_for_text("switch to (1)")) << term->screen();
    // One row: the box is 51 x 6 at pane column 2, row 8; the cursor follows
    // the query on the input line.
    EXPECT_TRUE(term->wait_for([&] { return term->cursor() == test::Cursor{9, PANE_COLUMN + 2 + 4 + 3}; }))
        << term->cursor().row << "," << term->cursor().col << "\n" << term->screen();
    EXPECT_NE(term->row(9).find("│ › alp"), std::string::npos) << term->screen();
    EXPECT_NE(term->row(11).find("alpha"), std::string::npos) << term->screen();
    EXPECT_TRUE(term->cell_attrs(11, PANE_COLUMN + 6).underline) << "the matched characters";
    term->type("\r");
    wait_status(*term, "0:alpha*");
    EXPECT_TRUE(term->wait_for([&] { return !box_shown(*term); })) << term->screen();

    // Opened and closed at once: back to the previous window, and again.
    term->type("\x02s\r");
    wait_status(*term, "1:beta*");
    term->type("\x02s\r");
    wait_status(*term, "0:alpha*");

    term->type("\x02szzz");
    ASSERT_TRUE(term->wait_for_text("switch to (0)")) << term->screen();
    EXPECT_TRUE(term->wait_for_text("  no matches")) << term->screen();
    term->type("\r");
    EXPECT_TRUE(term->wait_for([&] { return !box_shown(*term); })) << term->screen();
    EXPECT_TRUE(status_has(*term, "0:alpha*")) << term->screen();
}

TEST_F(Views, HelpAndScrollback) {
    auto term = attach();
    term->type("\x02?");
    // The pane is 55 columns wide: the help has 47 lines, 23 shown.
    wait_status(*term, " help 1-23/47   arrows/j/k line");
    EXPECT_NE(term->row(0).find("│ruk 0.1.4"), std::string::npos) << term->screen();
    EXPECT_TRUE(term->cell_attrs(0, PANE_COLUMN).bold);
    term->type("G");
    wait_status(*term, " help 25-47/47");
    EXPECT_TRUE(term->wait_for([&] { return term->row(22).find("full-screen view)") != std::string::npos; }))
        << term->screen();
    term->type("q");
    wait_status(*term, "[ruk] 0:");

    term->type("seq 1 100; echo filled\r");
    ASSERT_TRUE(term->wait_for_text("filled")) << term->screen();
    // The prompt comes on the row after "filled".
    ASSERT_TRUE(term->wait_for([&] {
        const int row = term->cursor().row;
        return row > 0 && term->row(row - 1).ends_with("│filled");
    })) << term->screen();
    const int prompt_row = term->cursor().row;
    const std::string prompt = term->row(prompt_row);
    term->type("\x02[");
    wait_status(*term, " scrollback 0/");
    term->type("k");
    wait_status(*term, " scrollback 1/");
    EXPECT_TRUE(term->wait_for([&] { return term->row(prompt_row).find("filled") != std::string::npos; }))
        << "one line back, the line above the prompt shows where the prompt was\n" << term->screen();
    // A key that does not navigate returns to the live screen and is typed.
    term->type("x");
    wait_status(*term, "[ruk] 0:");
    EXPECT_TRUE(term->wait_for([&] { return term->row(prompt_row) == prompt + " x"; })) << term->screen();
}

}  // namespace
}  // namespace ruk
