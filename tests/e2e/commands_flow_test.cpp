// The command prompt (prefix :) and the prompts' failures as a user at a
// real terminal meets them: commands run from the status bar, tab
// completion of window names, and a failure shown in red that goes away by
// itself.
#include <gtest/gtest.h>

#include "terminal_harness.h"
#include "test_support.h"

namespace ruk {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::RukHome;
using test::Terminal;

constexpr int STATUS_ROW = 23;

class CommandsFlow : public ::testing::Test {
protected:
    static inline RukHome* home = nullptr;
    static inline Terminal* term = nullptr;

    // One server with three named windows for the suite: alpha, beta, bravo.
    static void SetUpTestSuite() {
        home = new RukHome;
        term = new Terminal(*home, {}, test::EnvChanges{{"PS1", "$ "}}, 24, 80);
        if (!term->wait_for_text("[ruk] 0:")) return;
        for (int n = 1; n <= 2; ++n) {
            term->type("\x02" "c");
            if (!term->wait_for([&] { return status_has(" " + std::to_string(n) + ":"); })) return;
        }
        const char* names[] = {"alpha", "beta", "bravo"};
        for (int n = 0; n < 3; ++n) home->ruk({"rename", std::to_string(n), names[n]});
    }
    static void TearDownTestSuite() {
        delete term;
        home->kill_servers();
        delete home;
    }

    // Every flow starts viewing alpha, window 0.
    void SetUp() override {
        term->type("\x02" "0");
        ASSERT_TRUE(term->wait_for([] { return status().starts_with("[ruk] 0:alpha* 1:beta  2:bravo  "); }))
            << term->screen();
    }

    // The status row as drawn, blanks to its end.
    static std::string status() {
        std::string row = term->row(STATUS_ROW);
        return row + std::string(row.size() < 80 ? 80 - row.size() : 0, ' ');
    }
    static bool status_has(const std::string& text) { return status().find(text) != std::string::npos; }
    static void wait_status(const std::string& text) {
        EXPECT_TRUE(term->wait_for([&] { return status_has(text); })) << text << "\n" << term->screen();
    }
    // The status line from its start: a prompt, a message or the window list.
    static void wait_status_is(const std::string& text) {
        EXPECT_TRUE(term->wait_for([&] { return status().starts_with(text); })) << text << "\n" << term->screen();
    }
};

TEST_F(CommandsFlow, ThePromptSwapsWindowsAndCompletesTheirNames) {
    term->type("\x02" "2");
    wait_status("2:bravo*");

    term->type("\x02:");
    wait_status_is(" :█   (tab completes, enter runs, esc cancels)");
    term->type("sw\t");
    wait_status_is(" :swap-window █   (tab completes");
    // Two names fit: the common part is completed and both are offered.
    term->type("b\t");
    wait_status_is(" :swap-window b█   beta  bravo");
    EXPECT_EQ(term->cell_attrs(STATUS_ROW, 1), (test::CellAttrs{.fg = 0, .bg = 3})) << "black on yellow";
    term->type("e\t");
    wait_status_is(" :swap-window beta █   (tab completes");
    term->type("\r");
    // The viewed window (bravo, 2) and beta (1) trade numbers.
    wait_status_is("[ruk] 0:alpha  1:bravo* 2:beta  ");

    // By number, and onto a free number.
    term->type("\x02:swap-window 0\r");
    wait_status_is("[ruk] 0:bravo* 1:alpha  2:beta  ");
    term->type("\x02:swap-window 7\r");
    wait_status_is("[ruk] 1:alpha  2:beta  7:bravo* ");
    // Put things back for the next flow: alpha 0, beta 1, bravo 2.
    term->type("\x02:swap-window 2\r");
    wait_status_is("[ruk] 1:alpha  2:bravo* 7:beta  ");
    term->type("\x02:swap-window 7 1\r");
    wait_status_is("[ruk] 1:beta  2:bravo* 7:alpha  ");
    term->type("\x02:swap-window 7 0\r");
    wait_status_is("[ruk] 0:alpha  1:beta  2:bravo* ");
}

TEST_F(CommandsFlow, AFailureShowsInRedForThreeSecondsThenTheWindowsReturn) {
    struct Case {
        std::string keys, message;
    };
    // Each failure takes the place of the one before.
    const Case cases[] = {
        {"\x02:swap-window 8 9\r", " no window 8 or 9"},
        {"\x02r\x15" "bad/name\r", " name may not contain '/' (use letters, digits, - _ .)"},
        {"\x02:agents\r",
         std::string(" no command 'agents' here (try: swap-window, rename, name, send, connect, disconnect, notify)")
             .substr(0, 80)},
    };
    Clock::time_point shown;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        term->type(c.keys);
        ASSERT_TRUE(term->wait_for([&] { return term->row(STATUS_ROW) == c.message; }))
            << term->screen();
        shown = Clock::now();
        EXPECT_EQ(term->cell_attrs(STATUS_ROW, 1), (test::CellAttrs{.fg = 15, .bg = 1})) << "white on red";
        EXPECT_EQ(term->cell_attrs(STATUS_ROW, 79), (test::CellAttrs{.fg = 15, .bg = 1})) << "the whole row";
    }
    ASSERT_TRUE(term->wait_for([] { return status().starts_with("[ruk] 0:alpha*"); }, 8s)) << term->screen();
    // Six ticks of half a second, set up to a tick before it showed.
    EXPECT_GE(Clock::now() - shown, 2s);
    EXPECT_EQ(term->cell_attrs(STATUS_ROW, 1).bg, 114);
    EXPECT_TRUE(status_has("0:alpha* 1:beta  2:bravo  ")) << "nothing changed";
}

}  // namespace
}  // namespace ruk
