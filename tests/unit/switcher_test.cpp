// The window switcher: scores, the best match, list rows and headers, the
// box's geometry and scrolling, what it draws into a pane, and what clicks
// and keys do with it on a server whose windows run no program.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "picker/entries.h"
#include "picker/list.h"
#include "picker/matching.h"
#include "picker/render.h"
#include "picker/switcher.h"
#include "screen/screen.h"
#include "server/keys.h"
#include "server/registry.h"
#include "server/status.h"
#include "server/view.h"
#include "server/window.h"

namespace ruk {
namespace {

struct EntryFields {
    EntryFields(std::string name, std::optional<Runtime> runtime = std::nullopt,
              std::optional<std::string> project = std::nullopt, std::optional<std::string> branch = std::nullopt,
              std::string host = "devbox", std::string host_alt = "devbox")
        : name(std::move(name)), runtime(runtime), project(std::move(project)), branch(std::move(branch)),
          host(std::move(host)), host_alt(std::move(host_alt)) {}
    std::string name;
    std::optional<Runtime> runtime;
    std::optional<std::string> project, branch;
    std::string host, host_alt;
};

SwitcherEntry entry(const EntryFields& fields) {
    SwitcherEntry e;
    e.name = fields.name;
    e.runtime = fields.runtime;
    e.project = fields.project;
    e.branch = fields.branch;
    e.host = fields.host;
    e.host_alt = fields.host_alt;
    return e;
}

// --- scores ------------------------------------------------------------------

struct ScoreCase {
    EntryFields entry;
    std::string_view query;
    std::optional<unsigned> want;
};

const ScoreCase SCORE_CASES[] = {
    // The name: whole, start, after a separator, inside a word.
    {{"api"}, "api", 0},
    {{"api-claude"}, "api", 1},
    {{"my-api"}, "api", 2},
    {{"rapid"}, "api", 3},
    {{"API"}, "api", 0},
    {{"Api-Claude"}, "aPI", 1},
    // The first occurrence decides, even when a later one would score better.
    {{"rapid-api"}, "api", 3},
    // Letters beyond ASCII: lower-cased, and a letter before the word counts.
    {{"Ärger"}, "äR", 1},
    {{"xäpi"}, "pi", 3},
    {{"x·pi"}, "pi", 2},
    // Nothing typed matches everything.
    {{"web"}, "", 0},
    {{"web"}, "   ", 0},
    {{"web"}, "xyz", std::nullopt},
    // The hosts, the runtime name, the project and the branch; the best field wins.
    {{"web"}, "box", 3},
    {{"web"}, "dev", 2},
    {{"w", {}, {}, {}, "brenk-01", "me@brenk-01.lab"}, "lab", 2},
    {{"x", Runtime::Claude}, "claude", 2},
    {{"x", Runtime::Other}, "agent", 2},
    {{"x"}, "agent", std::nullopt},
    {{"x", Runtime::Pi, "shop", "feature/pay"}, "pay", 2},
    {{"x", Runtime::Pi, "shop", "feature/pay"}, "hop", 3},
    {{"dev"}, "dev", 0},
    // Every word must match, in any order; the scores add up.
    {{"x", Runtime::Claude, "web"}, "claude web", 4},
    {{"x", Runtime::Claude, "web"}, "web claude", 4},
    {{"webby", Runtime::Claude}, "web  claude", 3},
    {{"x", Runtime::Codex, "web"}, "claude web", std::nullopt},
    // name@host: the host part must be in one of the machine's names.
    {{"x1", {}, {}, {}, "box", "u@box.lan"}, "x@box", 3},
    {{"x1", {}, {}, {}, "box", "u@box.lan"}, "x@lan", 3},
    {{"x1", {}, {}, {}, "box", "u@box.lan"}, "@box", 2},
    {{"x1", {}, {}, {}, "box", "u@box.lan"}, "x@", 3},
    {{"x1", {}, {}, {}, "box", "u@box.lan"}, "x@nothere", std::nullopt},
    {{"x1", {}, {}, {}, "box", "u@box.lan"}, "y@box", std::nullopt},
    {{"x1"}, "x@brenk", std::nullopt},
};

TEST(SwitcherMatch, ScoresEachWordByItsBestField) {
    for (const auto& c : SCORE_CASES) {
        SCOPED_TRACE(c.entry.name + " / '" + std::string(c.query) + "'");
        EXPECT_EQ(match_entry(entry(c.entry), c.query), c.want);
    }
}

// --- the best match ----------------------------------------------------------

struct BestCase {
    std::string_view query;
    std::vector<size_t> matching;
    size_t want;  // position in matching
};

TEST(SwitcherMatch, BestMatchPrefersScoreThenNotTheViewedWindowThenRankThenOrder) {
    std::vector<SwitcherEntry> entries = {
        entry({"api"}),         // 0: viewed
        entry({"api-claude"}),  // 1: the previous window
        entry({"tool"}),        // 2
        entry({"api", {}, {}, {}, "brenk", "brenk"}),  // 3: same name on another machine
        entry({"tools"}),       // 4
        entry({"new shell", {}, {}, {}, "box", "box"}),  // 5: a machine entry
    };
    const size_t ranks[] = {0, 2, 1002, 1003, 1004, 2005};
    for (size_t i = 0; i < entries.size(); ++i) entries[i].rank = ranks[i];
    entries[0].target = {0, 1};
    entries[1].target = {0, 2};
    entries[2].target = {0, 3};
    entries[3].target = {1, 9};
    entries[4].target = {0, 4};
    entries[5].target = {2, std::nullopt};

    const BestCase cases[] = {
        {"", {0, 1, 2, 3, 4, 5}, 1},  // the previous window
        {"api", {0, 1, 3}, 2},        // the other "api" beats the viewed one
        {"api-", {1}, 0},
        {"tool", {2, 4}, 0},          // whole name before start of name
        {"ool", {2, 4}, 0},           // equal scores: lower rank
        {"new", {5}, 0},
        {"zzz", {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.query));
        EXPECT_EQ(matching(entries, c.query), c.matching);
        EXPECT_EQ(best_match(entries, c.query), c.want);
    }

    // A better score beats not being viewed; rank beats list order, and list
    // order settles equal ranks.
    entries[3].name = "apiary";
    EXPECT_EQ(best_match(entries, "api"), 0u);
    entries[4].rank = 5;
    EXPECT_EQ(best_match(entries, "ool"), 1u);
    entries[2].rank = 5;
    EXPECT_EQ(best_match(entries, "ool"), 0u);
}

// --- rows and headers ----------------------------------------------------------

using Kind = SwitcherRow::Kind;

TEST(SwitcherRows, HeadersOnlyWhenEntriesSpanSeveralHosts) {
    std::vector<SwitcherEntry> local = {entry({"a"}), entry({"b"})};
    EXPECT_EQ(switcher_rows(local, {0, 1}), (std::vector<SwitcherRow>{{Kind::Entry, 0}, {Kind::Entry, 1}}));

    std::vector<SwitcherEntry> mixed = {entry({"a"}), entry({"b"}), entry({"c", {}, {}, {}, "brenk", "brenk"}),
                                        entry({"d", {}, {}, {}, "brenk", "brenk"}), entry({"e"})};
    EXPECT_EQ(switcher_rows(mixed, {0, 1, 2, 3, 4}),
              (std::vector<SwitcherRow>{{Kind::Header, 0},
                                        {Kind::Entry, 0},
                                        {Kind::Entry, 1},
                                        {Kind::Header, 2},
                                        {Kind::Entry, 2},
                                        {Kind::Entry, 3},
                                        {Kind::Header, 4},
                                        {Kind::Entry, 4}}));
    // Only matching entries count for the groups, but all of them for
    // whether there are headers at all.
    EXPECT_EQ(switcher_rows(mixed, {1, 4}),
              (std::vector<SwitcherRow>{{Kind::Header, 0}, {Kind::Entry, 0}, {Kind::Entry, 1}}));
    EXPECT_TRUE(switcher_rows(mixed, {}).empty());
}

// --- geometry and scrolling ----------------------------------------------------

struct GeometryCase {
    TermSize pane;
    size_t rows;
    SwitcherBox want;
};

const GeometryCase GEOMETRY_CASES[] = {
    {{23, 40}, 3, {40, 38, 3, 8, 0, 7}},       // narrow: the full width
    {{23, 49}, 5, {49, 47, 5, 10, 0, 6}},
    {{23, 50}, 0, {46, 44, 1, 6, 2, 8}},       // nothing matches: one line
    {{23, 55}, 14, {51, 49, 12, 17, 2, 3}},    // at most 12 list lines
    {{40, 200}, 30, {72, 70, 12, 17, 64, 11}}, // at most 72 wide, centred
    {{10, 80}, 20, {72, 70, 5, 10, 4, 0}},     // the pane's height limits the list
    {{4, 30}, 5, {30, 28, 1, 4, 0, 0}},        // and then the box
    {{1, 1}, 1, {1, -1, 1, 1, 0, 0}},
};

TEST(SwitcherBoxGeometry, WidthHeightAndPlace) {
    for (const auto& c : GEOMETRY_CASES) {
        SCOPED_TRACE(std::to_string(c.pane.rows) + "x" + std::to_string(c.pane.cols) + " rows " +
                     std::to_string(c.rows));
        EXPECT_EQ(switcher_box(c.pane, c.rows), c.want);
    }
}

// Ten windows here and twenty on brenk: rows are header 0, here 1-10,
// header 11, brenk 12-31.
SwitcherList two_machines(std::string_view query = "") {
    std::vector<SwitcherEntry> entries;
    for (int i = 0; i < 10; ++i) entries.push_back(entry({"l" + std::to_string(i)}));
    for (int i = 0; i < 20; ++i) entries.push_back(entry({"r" + std::to_string(i), {}, {}, {}, "brenk", "brenk"}));
    for (size_t i = 0; i < entries.size(); ++i) {
        entries[i].number = uint32_t(i);
        entries[i].target = {i < 10 ? 0u : 1u, WindowId(i)};
        entries[i].rank = 1000 + i;
    }
    return switcher_list(std::move(entries), query);
}

struct FollowStep {
    int pane_height;
    size_t selected;
    size_t want_selected, want_scroll;
};

TEST(SwitcherScroll, FollowSelectionKeepsItAndItsHeaderInView) {
    const SwitcherList list = two_machines();
    ASSERT_EQ(list.rows.size(), 32u);
    const FollowStep steps[] = {
        {23, 0, 0, 0},    // the first entry with its header
        {23, 10, 10, 1},  // down onto brenk's first entry: its header is the row above, in view
        {23, 29, 29, 20}, // the last entry at the bottom
        {23, 11, 11, 13},
        {23, 10, 10, 11}, // up onto a group's first entry brings the header
        {23, 9, 9, 10},
        {23, 99, 29, 20}, // past the end: the last entry
        // One list line: no room for a header.
        {6, 10, 10, 12},
        {6, 11, 11, 13},
        {6, 10, 10, 12},
        {6, 0, 0, 1},
    };
    SwitcherState state;
    for (const auto& s : steps) {
        SCOPED_TRACE("height " + std::to_string(s.pane_height) + " selected " + std::to_string(s.selected));
        state.selected = s.selected;
        follow_selection(state, list, s.pane_height);
        EXPECT_EQ(state.selected, s.want_selected);
        EXPECT_EQ(state.scroll, s.want_scroll);
    }

    SwitcherState none{.query = "zzz", .selected = 5, .scroll = 7};
    follow_selection(none, two_machines("zzz"), 23);
    EXPECT_EQ(none.selected, 0u);
    EXPECT_EQ(none.scroll, 0u);
}

struct ClickCase {
    int x, y;
    bool inside;
    std::optional<size_t> entry;
};

TEST(SwitcherClicks, BoxContainsAndEntryAt) {
    const SwitcherList list = two_machines();
    const SwitcherBox box = switcher_box({23, 55}, list.rows.size());
    ASSERT_EQ(box, (SwitcherBox{51, 49, 12, 17, 2, 3}));
    const SwitcherState state{.query = "", .selected = 10, .scroll = 11};  // rows 11..22 shown
    const ClickCase cases[] = {
        {2, 3, true, std::nullopt},    // top left corner
        {52, 19, true, std::nullopt},  // bottom right corner
        {53, 19, false, std::nullopt},
        {1, 10, false, std::nullopt},
        {2, 20, false, std::nullopt},
        {2, 6, true, 10},              // brenk's header: its first entry
        {52, 7, true, 10},
        {10, 8, true, 11},
        {10, 17, true, 20},            // the last list line
        {10, 18, true, std::nullopt},  // the footer
        {10, 5, true, std::nullopt},   // the separator
        {10, 4, true, std::nullopt},   // the input line
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.x) + "," + std::to_string(c.y));
        EXPECT_EQ(box_contains(box, c.x, c.y), c.inside);
        EXPECT_EQ(entry_at(state, list, box, c.x, c.y), c.entry);
    }

    // A pane too low for the box: the footer covers the only list line, so a
    // click there chooses nothing.
    const SwitcherBox low = switcher_box({5, 40}, list.rows.size());
    ASSERT_EQ(low, (SwitcherBox{40, 38, 1, 5, 0, 0}));
    EXPECT_EQ(entry_at(SwitcherState{}, list, low, 5, 3), std::nullopt);
}

// --- drawing -------------------------------------------------------------------

constexpr TermSize PANE{20, 60};

std::string repeat(std::string_view text, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += text;
    return out;
}

// A pane full of x, as a window's copy would be, with the box drawn over it.
struct Drawn {
    Screen screen{PANE.rows, PANE.cols, 0, Screen::Kind::Remote};
    SwitcherDrawing drawing;
    SwitcherBox box;

    Drawn(std::vector<SwitcherEntry> entries, std::string query, uint64_t tick = 0, TermSize pane = PANE) {
        screen = Screen(pane.rows, pane.cols, 0, Screen::Kind::Remote);
        std::string fill;
        for (int r = 1; r <= pane.rows; ++r) fill += "\x1b[" + std::to_string(r) + ";1H" + std::string(pane.cols, 'x');
        screen.feed(fill);
        const SwitcherList list = switcher_list(std::move(entries), query);
        SwitcherState state{.query = query, .selected = best_match(list.entries, query), .scroll = 0};
        follow_selection(state, list, pane.rows);
        box = switcher_box(pane, list.rows.size());
        drawing = render_switcher(state, list, pane, tick);
        screen.feed(drawing.bytes);
    }
    std::string row(int r) const { return screen.visible_rows_text()[size_t(r)]; }
    // The text between the side borders of box line `line`.
    std::string inside(int line) const {
        const auto cells = screen.row_cells(box.top + line);
        std::string out;
        for (int c = box.left + 1; c < box.left + box.width - 1; ++c) out += cells[size_t(c)].text();
        return out;
    }
    Attrs attrs(int line, int col) const { return screen.cell(box.top + line, col).attrs; }
};

std::vector<SwitcherEntry> three_local() {
    std::vector<SwitcherEntry> e = {
        entry({"api", Runtime::Claude, "web"}),
        entry({"api-claude"}),
        entry({"web", Runtime::Codex}),
    };
    for (size_t i = 0; i < e.size(); ++i) {
        e[i].number = uint32_t(i);
        e[i].target = {0, WindowId(i)};
        e[i].colour = 114;
    }
    e[0].state = AgentState::Working;
    e[0].rank = 0;
    e[1].rank = 2;
    e[2].state = AgentState::NeedsInput;
    e[2].rank = 1002;
    return e;
}

TEST(SwitcherDrawing, BoxOverThePaneWithMatchesUnderlinedAndTheCursorAfterTheQuery) {
    const Drawn d(three_local(), "api");
    ASSERT_EQ(d.box, (SwitcherBox{56, 54, 2, 7, 2, 6}));
    const std::string xx = "xx";
    EXPECT_EQ(d.row(5), std::string(60, 'x'));
    EXPECT_EQ(d.row(6), xx + "╭─ switch to (2) " + repeat("─", 38) + "╮" + xx);
    EXPECT_EQ(d.row(7), xx + "│ › api" + std::string(48, ' ') + "│" + xx);
    EXPECT_EQ(d.row(8), xx + "├" + repeat("─", 54) + "┤" + xx);
    // The viewed window scores 0 here and is selected; the previous one is next.
    EXPECT_EQ(d.inside(3), " ⠋ api" + std::string(19, ' ') + "#0    devbox  claude · web" + std::string(3, ' '));
    EXPECT_EQ(d.inside(4), "   api-claude" + std::string(12, ' ') + "#1    devbox  " + std::string(15, ' '));
    EXPECT_EQ(d.row(11), xx + "│" + " ↑↓ move · enter go · esc cancel" + std::string(22, ' ') + "│" + xx);
    EXPECT_EQ(d.row(12), xx + "╰" + repeat("─", 54) + "╯" + xx);
    EXPECT_EQ(d.row(13), std::string(60, 'x'));
    EXPECT_EQ(d.drawing.cursor, (CursorPos{7, 9}));
    EXPECT_EQ(d.screen.cursor(), (CursorPos{7, 9}));
    EXPECT_FALSE(d.screen.cursor_hidden());

    // Colours: border, title, the selected row's background, marks, names.
    EXPECT_EQ(d.attrs(0, 2).fg, Color::indexed(67));
    EXPECT_EQ(d.attrs(0, 5).fg, Color::indexed(252));
    EXPECT_TRUE(d.attrs(0, 5).has(attr::BOLD));
    const Attrs mark = d.attrs(3, 4);
    EXPECT_EQ(mark.fg, Color::indexed(220));
    EXPECT_EQ(mark.bg, Color::indexed(24));
    EXPECT_EQ(d.attrs(3, 56).bg, Color::indexed(24)) << "the background runs to the border";
    EXPECT_EQ(d.attrs(4, 10).bg, Color{});
    for (int c = 6; c <= 8; ++c) {
        const Attrs a = d.attrs(3, c);
        EXPECT_TRUE(a.has(attr::UNDERLINE) && a.has(attr::BOLD)) << c;
        EXPECT_EQ(a.fg, Color::indexed(209)) << "claude's colour";
        EXPECT_TRUE(d.attrs(4, c).has(attr::UNDERLINE)) << c;
    }
    EXPECT_FALSE(d.attrs(4, 9).has(attr::UNDERLINE)) << "only the match";
    EXPECT_TRUE(d.attrs(4, 9).has(attr::BOLD));
    EXPECT_TRUE(d.attrs(3, 28).has(attr::DIM)) << "the number";
    EXPECT_EQ(d.attrs(3, 34).fg, Color::indexed(114)) << "the host in its machine's colour";
    EXPECT_FALSE(d.attrs(3, 34).has(attr::UNDERLINE));
    EXPECT_TRUE(d.attrs(3, 42).has(attr::DIM)) << "the detail";
}

TEST(SwitcherDrawing, WordsAroundAnAtAreUnderlinedInNameAndHost) {
    const Drawn d(three_local(), "claude@box");
    EXPECT_TRUE(d.row(6).substr(2).starts_with("╭─ switch to (2) ─")) << d.row(6);
    // Row 1 of the list is api-claude: "claude" in its name, "box" in the host.
    for (int c = 3; c < 57; ++c) {
        const bool in_name = c >= 10 && c <= 15, in_host = c >= 37 && c <= 39;
        EXPECT_EQ(d.attrs(4, c).has(attr::UNDERLINE), in_name || in_host) << c;
    }
}

TEST(SwitcherDrawing, NoMatchesAndALongQuery) {
    const Drawn none(three_local(), "zzz");
    EXPECT_EQ(none.box.height, 6);
    EXPECT_TRUE(none.inside(0).starts_with("─ switch to (0) ───")) << none.inside(0);
    EXPECT_EQ(none.inside(3), "  no matches" + std::string(42, ' '));
    EXPECT_TRUE(none.attrs(3, 5).has(attr::DIM));

    std::string query;
    for (int i = 0; i < 6; ++i) query += "abcdefghij";
    const Drawn long_query(three_local(), query);
    // 51 columns for the query: its last 51 characters, the cursor after them.
    EXPECT_EQ(long_query.inside(1), " › " + query.substr(9));
    EXPECT_EQ(long_query.drawing.cursor, (CursorPos{long_query.box.top + 1, 2 + 4 + 51}));
}

TEST(SwitcherDrawing, MachineHeadersReplaceTheHostColumn) {
    std::vector<SwitcherEntry> e = three_local();
    SwitcherEntry remote = entry({"build", Runtime::Codex, "shop", "main", "brenk-01", "me@brenk-01.lab"});
    remote.target = {1, 7};
    remote.number = 3;
    remote.colour = 75;
    remote.rank = 1003;
    e.push_back(remote);
    SwitcherEntry gone = entry({"new shell", {}, {}, {}, "box2", "box2"});
    gone.target = {2, std::nullopt};
    gone.colour = 141;
    gone.unreachable = true;
    gone.rank = 2004;
    e.push_back(gone);
    SwitcherEntry offline_agent = gone;
    offline_agent.name = "old";
    offline_agent.runtime = Runtime::Claude;
    offline_agent.target = {2, 5};
    offline_agent.number = 12345678;
    offline_agent.rank = 1005;
    e.push_back(offline_agent);

    const Drawn d(e, "");
    // Rows: devbox header, 3 windows, brenk-01 header, build, box2 header, 2 entries.
    ASSERT_EQ(d.box.visible, 9);
    EXPECT_EQ(d.inside(3), " ── devbox " + repeat("─", 42) + " ");
    EXPECT_EQ(d.attrs(3, 4).fg, Color::indexed(114));
    EXPECT_TRUE(d.attrs(3, 4).has(attr::BOLD));
    EXPECT_EQ(d.inside(4), " ⠋ api" + std::string(19, ' ') + "#0    claude · web" + std::string(11, ' '));
    EXPECT_EQ(d.inside(7), " ── brenk-01 " + repeat("─", 40) + " ");
    EXPECT_EQ(d.attrs(7, 4).fg, Color::indexed(75));
    EXPECT_EQ(d.inside(8), " ○ build" + std::string(17, ' ') + "#3    codex · shop/main" + std::string(6, ' '));
    EXPECT_EQ(d.inside(9), " ── box2 " + repeat("─", 44) + " ");
    EXPECT_TRUE(d.attrs(9, 4).has(attr::DIM)) << "an unreachable machine's header is dim";
    EXPECT_EQ(d.inside(10), " + new shell" + std::string(19, ' ') + "offline" + std::string(16, ' '));
    EXPECT_EQ(d.attrs(10, 4).fg, Color::indexed(245));
    EXPECT_EQ(d.attrs(10, 6).fg, Color::indexed(240));
    EXPECT_EQ(d.inside(11), " ○ old" + std::string(19, ' ') + "#12345678 claude" + std::string(13, ' '));
    EXPECT_EQ(d.attrs(11, 4).fg, Color::indexed(240));
    EXPECT_EQ(d.attrs(11, 6).fg, Color::indexed(240)) << "an agent out of reach is grey, not its runtime's colour";
    // The previous window is selected: api-claude, the second window row.
    EXPECT_EQ(d.attrs(5, 4).bg, Color::indexed(24));
}

TEST(SwitcherDrawing, MarksFollowTheAgentsState) {
    std::vector<SwitcherEntry> e = three_local();
    e[1].runtime = Runtime::Grok;
    e[1].done = true;
    const Drawn d(e, "", 3);
    EXPECT_TRUE(d.inside(3).starts_with(" ⠸ api")) << "spinner frame of tick 3: " << d.inside(3);
    EXPECT_TRUE(d.inside(4).starts_with(" ✓ api")) << d.inside(4);
    EXPECT_EQ(d.attrs(4, 4).fg, Color::indexed(114));
    EXPECT_EQ(d.attrs(4, 6).fg, Color::indexed(255));
    EXPECT_TRUE(d.inside(5).starts_with(" ● web")) << d.inside(5);
    EXPECT_EQ(d.attrs(5, 4).fg, Color::indexed(203));
    EXPECT_EQ(d.attrs(5, 6).fg, Color::indexed(117));
}

TEST(SwitcherDrawing, LongNamesAreCutAndNothingIsDrawnOutsideTheBox) {
    std::vector<SwitcherEntry> e = three_local();
    e[2].name = "a-very-long-window-name-indeed";
    const Drawn d(e, "indeed");
    // c = 21 columns: 20 characters and an ellipsis; the match's first
    // occurrence is beyond the cut, so nothing is underlined.
    EXPECT_TRUE(d.inside(3).starts_with(" ● a-very-long-window-n… #2")) << d.inside(3);
    for (int c = 3; c < 57; ++c) EXPECT_FALSE(d.attrs(3, c).has(attr::UNDERLINE)) << c;

    // Any pane, however small: the box stays inside its rectangle.
    for (uint16_t rows : {1, 2, 3, 5, 6, 9}) {
        for (uint16_t cols : {1, 2, 5, 12, 30, 49, 50, 61}) {
            SCOPED_TRACE(std::to_string(rows) + "x" + std::to_string(cols));
            const Drawn small(three_local(), "a", 0, {rows, cols});
            for (int r = 0; r < rows; ++r)
                for (int c = 0; c < cols; ++c) {
                    const bool inside = box_contains(small.box, c, r);
                    const bool untouched = small.screen.cell(r, c).text() == "x";
                    if (!inside) {
                        EXPECT_TRUE(untouched) << r << "," << c;
                    }
                }
        }
    }
}

// --- on a server ---------------------------------------------------------------

std::span<const uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

class SwitcherServer : public ::testing::Test {
protected:
    Server server;
    std::vector<WindowId> ids;

    SwitcherServer() {
        server.host_name = "devbox";
        server.size = {24, 80};  // pane 23 x 55
        ids.push_back(add_window(0, "api"));
        ids.push_back(add_window(1, "shell"));
        ids.push_back(add_window(2, std::nullopt));
        Window& api = *find_window(server, ids[0]);
        api.agent = Agent{};
        api.agent->runtime = Runtime::Claude;
        api.agent->location = protocol::Location{"/src/web", "main"};
        Window& third = *find_window(server, ids[2]);
        third.agent = Agent{};
        third.agent->runtime = Runtime::Pi;
        third.agent->done = true;

        Machine brenk;
        brenk.id = server.next_machine_id++;
        brenk.host = "me@brenk-01.lab";
        brenk.colour = 75;
        brenk.connected = true;
        protocol::WindowInfo build{.id = 7, .index = 0, .name = "build", .process = "node", .agent = std::nullopt};
        build.agent = protocol::AgentInfo{.kind = "codex", .state = "working", .location = std::nullopt};
        protocol::WindowInfo editor{.id = 8, .index = 3, .name = std::nullopt, .process = "vim", .agent = std::nullopt};
        brenk.windows = {build, editor};
        server.machines.push_back(std::move(brenk));
        Machine box;
        box.id = server.next_machine_id++;
        box.host = "box2";
        box.colour = 141;
        server.machines.push_back(std::move(box));

        switch_view(server, 0, ids[0]);
        switch_view(server, 0, ids[1]);
        switch_view(server, 0, ids[0]);  // history: api, shell
    }
    WindowId add_window(uint32_t number, std::optional<std::string> name) {
        auto window = std::make_unique<Window>();
        const WindowId id = server.next_window_id++;
        window->id = id;
        window->number = number;
        window->name = std::move(name);
        window->screen = Screen(23, 55);
        insert_window(server, std::move(window));
        return id;
    }
    void press(std::string_view input) { handle_input(server, bytes_of(input)); }
};

TEST_F(SwitcherServer, EntriesListEveryWindowAndMachinesWithoutWindows) {
    const auto entries = switcher_entries(server);
    ASSERT_EQ(entries.size(), 6u);
    struct Want {
        ViewTarget target;
        std::string name, host, host_alt;
        int colour;
        std::optional<uint32_t> number;
        std::optional<Runtime> runtime;
        bool done, unreachable;
        size_t rank;
    };
    const Want want[] = {
        {{0, ids[0]}, "api", "devbox", "devbox", 114, 0, Runtime::Claude, false, false, 0},
        {{0, ids[1]}, "shell", "devbox", "devbox", 114, 1, std::nullopt, false, false, 2},
        {{0, ids[2]}, "?", "devbox", "devbox", 114, 2, Runtime::Pi, true, false, 1002},
        {{1, 7}, "build", "brenk-01", "me@brenk-01.lab", 75, 0, Runtime::Codex, false, false, 1003},
        {{1, 8}, "vim", "brenk-01", "me@brenk-01.lab", 75, 3, std::nullopt, false, false, 1004},
        {{2, std::nullopt}, "new shell", "box2", "box2", 141, std::nullopt, std::nullopt, false, true, 2005},
    };
    for (size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(i);
        const SwitcherEntry& e = entries[i];
        EXPECT_EQ(e.target, want[i].target);
        EXPECT_EQ(e.name, want[i].name);
        EXPECT_EQ(e.host, want[i].host);
        EXPECT_EQ(e.host_alt, want[i].host_alt);
        EXPECT_EQ(e.colour, want[i].colour);
        EXPECT_EQ(e.number, want[i].number);
        EXPECT_EQ(e.runtime, want[i].runtime);
        EXPECT_EQ(e.done, want[i].done);
        EXPECT_EQ(e.unreachable, want[i].unreachable);
        EXPECT_EQ(e.rank, want[i].rank);
    }
    EXPECT_EQ(entries[0].project, "web");
    EXPECT_EQ(entries[0].branch, "main");
    EXPECT_EQ(entries[3].state, AgentState::Working);

    // The viewed window never shows as done.
    find_window(server, ids[0])->agent->done = true;
    EXPECT_FALSE(switcher_entries(server)[0].done);
}

TEST_F(SwitcherServer, KeysSelectChooseAndWrap) {
    press("\x02s\r");
    EXPECT_FALSE(server.switcher);
    EXPECT_EQ(server.view, (View{0, ids[1]})) << "prefix s enter goes back";
    press("\x02s\r");
    EXPECT_EQ(server.view, (View{0, ids[0]}));

    press("\x02szzz");
    ASSERT_TRUE(server.switcher);
    const auto overlay = switcher_overlay(server);
    ASSERT_TRUE(overlay);
    EXPECT_NE(overlay->find("no matches"), std::string::npos);
    press("\r");
    EXPECT_FALSE(server.switcher);
    EXPECT_EQ(server.view, (View{0, ids[0]})) << "nothing matched: enter only closes";

    press("\x02s\t\t\r");  // from the previous window (position 1) two on: brenk's build
    EXPECT_EQ(server.view, (View{1, 7}));
    press("\x02sbuild\x1b[B\r");  // one match: moving wraps onto itself
    EXPECT_EQ(server.view, (View{1, 7}));
    press("\x02s\x1b[A\x1b[A\r");  // from api (position 0) up twice: box2, then vim
    EXPECT_EQ(server.view, (View{1, 8}));

    press("\x02sbox2\r");  // the machine entry of a machine that is not connected
    EXPECT_EQ(server.view, (View{1, 8}));
    ASSERT_TRUE(current_status_message(server));
    EXPECT_EQ(*current_status_message(server), "box2 is offline");

    press("\x02sshell");
    EXPECT_EQ(server.switcher->selected, 0u);
    press("\x7f\x7f\x7f\x7f\x7f");
    EXPECT_EQ(server.switcher->selected, 3u) << "the empty query selects the previous window again: build";
    press("\r");
    EXPECT_EQ(server.view, (View{1, 7}));
}

TEST_F(SwitcherServer, ClicksChooseARowOrCloseOutsideTheBox) {
    // Nine rows (three headers): box 51 x 14 at pane column 2, row 4.
    press("\x02s");
    ASSERT_TRUE(switcher_overlay(server));
    // brenk-01's header is list row 4: pane row 11, terminal row 12; pane
    // column 7 is terminal column 33 beside the sidebar.
    press("\x1b[<0;33;12M");
    EXPECT_FALSE(server.switcher);
    EXPECT_EQ(server.view, (View{1, 7})) << "a header chooses its group's first entry";

    press("\x02s\x1b[<0;33;6M");  // the input line: inside, nothing happens
    EXPECT_TRUE(server.switcher);
    press("\x1b[<64;33;12M");  // the wheel moves the selection
    EXPECT_TRUE(server.switcher);
    press("\x1b[<0;26;12M");  // pane column 0, left of the box
    EXPECT_FALSE(server.switcher);
    EXPECT_EQ(server.view, (View{1, 7}));
}

}  // namespace
}  // namespace ruk
