// The screen model: query answers, tracked modes, the anchored scrollback,
// and the property that everything the screen writes back as escape
// sequences (the peer redraw, row differences) rebuilds the same screen when
// parsed, checked on the output of real programs.
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vterm.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <ostream>
#include <random>

#include "screen/screen.h"
#include "sys/sys.h"
#include "test_support.h"

namespace ruk {

// Readable failures for cells and colours.
void PrintTo(const Color& c, std::ostream* os) {
    switch (c.kind) {
    case Color::Kind::Default: *os << "default"; break;
    case Color::Kind::Indexed: *os << "idx" << int(c.r); break;
    case Color::Kind::Rgb: *os << "rgb(" << int(c.r) << "," << int(c.g) << "," << int(c.b) << ")"; break;
    }
}
void PrintTo(const Cell& c, std::ostream* os) {
    *os << "'" << c.text() << "'/w" << int(c.width) << " flags=" << int(c.attrs.flags) << " fg=";
    PrintTo(c.attrs.fg, os);
    *os << " bg=";
    PrintTo(c.attrs.bg, os);
}

namespace {

using namespace std::chrono_literals;

std::string escaped(std::string_view s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == 0x1b) out += "\\e";
        else if (c < 0x20 || c == 0x7f) out += "\\x" + std::string(1, "0123456789abcdef"[c >> 4]) + "0123456789abcdef"[c & 15];
        else out += char(c);
    }
    return out;
}

std::string joined_rows(const Screen& s) {
    std::string out;
    for (auto& row : s.visible_rows_text()) out += "|" + row + "\n";
    return out;
}

// Everything a reader of the screen can see: cells at the current offset,
// cursor, modes and pen.
void expect_same_screen(const Screen& want, const Screen& got, const std::string& what) {
    SCOPED_TRACE(what);
    ASSERT_EQ(want.rows(), got.rows());
    ASSERT_EQ(want.cols(), got.cols());
    for (int r = 0; r < want.rows(); ++r) {
        auto a = want.row_cells(r), b = got.row_cells(r);
        if (a != b) {
            for (size_t c = 0; c < a.size(); ++c) {
                if (a[c] == b[c]) continue;
                ADD_FAILURE() << "row " << r << " col " << c << ": want " << testing::PrintToString(a[c]) << ", got "
                              << testing::PrintToString(b[c]) << "\nwant:\n" << joined_rows(want) << "got:\n"
                              << joined_rows(got);
                return;
            }
        }
    }
    EXPECT_EQ(want.cursor(), got.cursor());
    EXPECT_EQ(want.cursor_hidden(), got.cursor_hidden());
    EXPECT_EQ(want.alternate_screen(), got.alternate_screen());
    EXPECT_EQ(want.application_cursor_keys(), got.application_cursor_keys());
    EXPECT_EQ(want.application_keypad(), got.application_keypad());
    EXPECT_EQ(want.bracketed_paste(), got.bracketed_paste());
    EXPECT_EQ(want.mouse_mode(), got.mouse_mode());
    EXPECT_EQ(want.mouse_encoding(), got.mouse_encoding());
    EXPECT_EQ(escaped(want.pen_formatted()), escaped(got.pen_formatted()));
}

// Every left half of a wide character is followed by its right half, and
// every right half follows a left half.
void expect_whole_wide_characters(const Screen& s) {
    for (int r = 0; r < s.rows(); ++r) {
        auto row = s.row_cells(r);
        for (size_t c = 0; c < row.size(); ++c) {
            bool ok = row[c].width == 1 || (row[c].width == 2 && c + 1 < row.size() && row[c + 1].width == 0) ||
                      (row[c].width == 0 && c > 0 && row[c - 1].width == 2);
            ASSERT_TRUE(ok) << "row " << r << " col " << c;
        }
    }
}

// A screen rebuilt from another's peer redraw matches it live and at every
// history offset the redraw carries (up to 2000).
void expect_round_trip(Screen& source, const std::string& what) {
    SCOPED_TRACE(what);
    Screen copy(source.rows(), source.cols());
    copy.feed(source.peer_redraw());
    EXPECT_EQ(copy.take_replies(), "");
    expect_same_screen(source, copy, "live");
    const size_t carried = std::min<size_t>(source.history_lines(), 2000);
    EXPECT_EQ(copy.history_lines(), carried);
    for (size_t offset = 1; offset <= carried; ++offset) {
        source.set_scrollback_offset(offset);
        copy.set_scrollback_offset(offset);
        if (source.visible_rows_text() != copy.visible_rows_text()) {
            ADD_FAILURE() << "offset " << offset << "\nwant:\n" << joined_rows(source) << "got:\n" << joined_rows(copy);
            break;
        }
        // Cells (attributes too) on the pages' first rows.
        if (source.row_cells(0) != copy.row_cells(0)) {
            ADD_FAILURE() << "attributes differ at offset " << offset;
            break;
        }
    }
    source.set_scrollback_offset(0);
}

// ---- queries -----------------------------------------------------------------------

struct QueryCase {
    std::vector<std::string> blocks;
    std::string reply;
};

const QueryCase QUERY_CASES[] = {
    {{"\x1b[c"}, "\x1b[?62;22c"},
    {{"\x1b[0c"}, "\x1b[?62;22c"},
    {{"\x1b[>c"}, "\x1b[>1;10;0c"},
    {{"\x1b[>0c"}, "\x1b[>1;10;0c"},
    {{"\x1b[5n"}, "\x1b[0n"},
    {{"\x1b[3;10H\x1b[6n"}, "\x1b[3;10R"},
    {{"\x1b[3;10H\x1b[?6n"}, "\x1b[?3;10R"},
    {{"\x1b[6;1n"}, "\x1b[1;1R"},  // the first parameter decides
    // The cursor is read where the query stands, not after the whole block.
    {{"ab\x1b[6n\r\nxyz\x1b[6n more text"}, "\x1b[1;3R\x1b[2;4R"},
    // In the alternate screen its own cursor is reported.
    {{"main\r\n\r\n\x1b[?1049h\x1b[5;7H\x1b[6n"}, "\x1b[5;7R"},
    // Split between blocks, even between ESC and "[".
    {{"\x1b[", "6n"}, "\x1b[1;1R"},
    {{"\x1b", "[>c"}, "\x1b[>1;10;0c"},
    {{"\x1b[?", "6", "n"}, "\x1b[?1;1R"},
    // Not ours to answer.
    {{"\x1b[?5n"}, ""},
    {{"\x1b[1c"}, ""},
    {{"\x1b[>1c"}, ""},
    {{"\x1b[?c"}, ""},
    {{"\x1b[=c"}, ""},
    {{"\x1b[ c"}, ""},
    {{"\x1b[>?c"}, ""},
    {{"\x1b[6$n"}, ""},
    {{"\x1b[15n"}, ""},
    {{"\x1b[;6n"}, ""},
    // Cancelled or broken sequences.
    {{"\x1b[6\x18n"}, ""},
    {{"\x1b[1?6n"}, ""},
    {{"\x1b[6", "\x1a", "n"}, ""},
    // A C0 control inside a sequence runs without ending it.
    {{"\x1b[6\rn"}, "\x1b[1;1R"},
    // Inside a string nothing is a query until the string ends.
    {{"\x1b]0;title c 6n\x07"}, ""},
    {{"\x1bPq 6n 5n", "\x1b\\"}, ""},
    {{"\x1bPq 6n 5n\x07\x1b[6n"}, "\x1b[1;1R"},
    // A status request libvterm does not know (it would format its own answer
    // with a broken printf format), split right after the ESC.
    {{"x\x1b", "P$qX\x1b", "\\\x1b[6n"}, "\x1b[1;2R"},
};

TEST(ScreenQueries, AnswersExactlyTheFiveQueries) {
    for (const auto& c : QUERY_CASES) {
        std::string name;
        for (auto& b : c.blocks) name += escaped(b) + " | ";
        SCOPED_TRACE(name);
        Screen s(24, 80);
        for (auto& b : c.blocks) s.feed(b);
        EXPECT_EQ(escaped(s.take_replies()), escaped(c.reply));
        EXPECT_EQ(s.take_replies(), "");

        Screen remote(24, 80, 100, Screen::Kind::Remote);
        for (auto& b : c.blocks) remote.feed(b);
        EXPECT_EQ(remote.take_replies(), "");
    }
}

// The scanner must split the byte stream exactly where libvterm does, or a
// query would be answered that libvterm never saw (or the reverse). libvterm
// answers the same five queries with texts of its own, so its answers
// (cursor included) show which ones it parsed.
TEST(ScreenQueries, SeesTheQueriesThatLibvtermSees) {
    // Left out: device control strings, which libvterm never sees, and C1
    // controls in UTF-8, which it mishandles and we drop (tested below).
    const std::vector<std::string> pieces = {
        "\x1b[", "\x1b", "[", "]", "_", "^", "X", "?", ">", "=", "<", " ", "!", "$", "0", "1", "5", "6", ";",
        ":", "c", "n", "h", "m", "H", "\x07", "\x18", "\x1a", std::string(1, '\0'), "\x7f", "\r", "\n", "\\", "x", "\xc3\xa9",
        "\xe4\xb8\x80", "\x9b", "\xff", "\x1b[6n", "\x1b[c", "\x1b[>c", "\x1b[5n", "\x1b[?6n", "\x1b]0;", "\x1b(",
        "\x1b#", "\x1b(0", "\x1b=", "\x1b" "7", "\x1b" "8"};
    std::mt19937 rng(1234);
    std::uniform_int_distribution<size_t> pick(0, pieces.size() - 1);
    for (int round = 0; round < 1000; ++round) {
        std::string input;
        for (int i = 0; i < 60; ++i) input += pieces[pick(rng)];
        input += "x\x1b\\x\x18";
        // libvterm alone writes past its argument array from 16 arguments on.
        if (std::count(input.begin(), input.end(), ';') + std::count(input.begin(), input.end(), ':') >= 15) continue;

        // libvterm alone, keeping only its answers to our five queries.
        std::string vterm_out;
        VTerm* vt = vterm_new(10, 20);
        vterm_set_utf8(vt, 1);
        vterm_output_set_callback(
            vt, [](const char* s, size_t n, void* user) { static_cast<std::string*>(user)->append(s, n); },
            &vterm_out);
        VTermState* state = vterm_obtain_state(vt);
        vterm_state_reset(state, 1);
        vterm_input_write(vt, input.data(), input.size());
        vterm_free(vt);
        std::string want;
        for (size_t i = vterm_out.find("\x1b["); i != std::string::npos; i = vterm_out.find("\x1b[", i + 1)) {
            size_t end = i + 2;
            while (end < vterm_out.size() && !(vterm_out[end] >= 0x40 && vterm_out[end] <= 0x7e)) ++end;
            if (end >= vterm_out.size()) break;
            std::string reply = vterm_out.substr(i, end + 1 - i);
            if (reply == "\x1b[?1;2c") want += "\x1b[?62;22c";
            else if (reply.rfind("\x1b[>", 0) == 0 && reply.back() == 'c') want += "\x1b[>1;10;0c";
            else if (reply == "\x1b[0n" || reply.back() == 'R') want += reply;
        }

        Screen s(10, 20);
        // Random block boundaries too.
        for (size_t at = 0; at < input.size();) {
            size_t n = std::min<size_t>(1 + rng() % 7, input.size() - at);
            s.feed(std::string_view(input).substr(at, n));
            at += n;
        }
        ASSERT_EQ(escaped(s.take_replies()), escaped(want)) << "input: " << escaped(input);
    }
}

// ---- modes ---------------------------------------------------------------------------

struct Modes {
    bool cursor_keys = false, keypad = false, paste = false, hidden = false, alternate = false;
    MouseMode mouse = MouseMode::None;
    MouseEncoding encoding = MouseEncoding::Default;
    bool operator==(const Modes&) const = default;
};

Modes modes_of(const Screen& s) {
    return {s.application_cursor_keys(), s.application_keypad(), s.bracketed_paste(), s.cursor_hidden(),
            s.alternate_screen(), s.mouse_mode(), s.mouse_encoding()};
}

struct ModeCase {
    std::vector<std::string> blocks;
    Modes want;
};

const ModeCase MODE_CASES[] = {
    {{"\x1b[?1h"}, {.cursor_keys = true}},
    {{"\x1b[?", "1h"}, {.cursor_keys = true}},
    {{"\x1b[?1h\x1b[?1l"}, {}},
    {{"\x1b="}, {.keypad = true}},
    {{"\x1b", "="}, {.keypad = true}},
    {{"\x1b=", "\x1b>"}, {}},
    {{"\x1b[?2004h"}, {.paste = true}},
    {{"\x1b[?200", "4h"}, {.paste = true}},
    {{"\x1b[?2004h\x1b[?2004l"}, {}},
    {{"\x1b[?25l"}, {.hidden = true}},
    {{"\x1b[?25l", "\x1b[?25h"}, {}},
    {{"\x1b[?9h"}, {.mouse = MouseMode::Press}},
    {{"\x1b[?1000h"}, {.mouse = MouseMode::PressRelease}},
    {{"\x1b[?1002h"}, {.mouse = MouseMode::ButtonMotion}},
    {{"\x1b[?1003h"}, {.mouse = MouseMode::AnyMotion}},
    {{"\x1b[?1003h\x1b[?1003l"}, {}},
    // Resetting a mode that is not the current one leaves the current one.
    {{"\x1b[?1002h\x1b[?1000l"}, {.mouse = MouseMode::ButtonMotion}},
    {{"\x1b[?1005h"}, {.encoding = MouseEncoding::Utf8}},
    {{"\x1b[?1006h"}, {.encoding = MouseEncoding::Sgr}},
    {{"\x1b[?1006h\x1b[?1005l"}, {.encoding = MouseEncoding::Sgr}},
    // Several modes in one sequence.
    {{"\x1b[?1;1000;1006;2004h"},
     {.cursor_keys = true, .paste = true, .mouse = MouseMode::PressRelease, .encoding = MouseEncoding::Sgr}},
    {{"\x1b[?1;2004h", "\x1b[?2004;1l"}, {}},
    {{"\x1b[?1049h"}, {.alternate = true}},
    {{"\x1b[?1049h", "\x1b[?1049l"}, {}},
    {{"\x1b[?1047h"}, {.alternate = true}},
    {{"\x1b[?47h"}, {.alternate = true}},
    {{"\x1b[?47h\x1b[?47l"}, {}},
    // A hard reset clears them all, the alternate screen included.
    {{"\x1b[?1;2004;1003;1006h\x1b=\x1b[?25l\x1b[?1049h", "\x1b", "c"}, {}},
    // Sequences that are not mode changes.
    {{"\x1b[1h\x1b[2004h"}, {}},
    {{"\x1b[?20\x18", "04h"}, {}},
    {{"\x1b[>1h"}, {}},
    // An ESC ends a string as well as BEL does; what follows counts.
    {{"\x1b]0;\x1b[?2004h", "\x07"}, {.paste = true}},
    {{"\x1b]2;title\x07\x1b[?1h"}, {.cursor_keys = true}},
};

TEST(ScreenModes, TrackedAcrossBlocks) {
    for (const auto& c : MODE_CASES) {
        std::string name;
        for (auto& b : c.blocks) name += escaped(b) + " | ";
        SCOPED_TRACE(name);
        Screen s(24, 80);
        for (auto& b : c.blocks) s.feed(b);
        EXPECT_EQ(modes_of(s), c.want);
    }
}

// libvterm drops faint and concealed; the screen keeps them, and a colour
// number 2 or 8 is not mistaken for them.
TEST(ScreenAttributes, FaintAndConcealedFromSgr) {
    Screen s(3, 40);
    s.feed("\x1b[2;8mA\x1b[22mB\x1b[0mC\x1b[38;5;2mD\x1b[48;2;8;2;8mE\x1b[0;2m\x1b" "7\x1b[0mF\x1b" "8G\x1b[38:5:8mH");
    auto row = s.row_cells(0);
    EXPECT_EQ(row[0].attrs.flags, attr::DIM | attr::HIDDEN);
    EXPECT_EQ(row[1].attrs.flags, attr::HIDDEN);
    EXPECT_EQ(row[2].attrs.flags, 0);
    EXPECT_EQ(row[3].attrs.flags, 0);
    EXPECT_EQ(row[3].attrs.fg, Color::indexed(2));
    EXPECT_EQ(row[4].attrs.flags, 0);
    EXPECT_EQ(row[4].attrs.bg, Color::rgb(8, 2, 8));
    // ESC 8 brings back the cursor (G overwrites F) and the faint pen.
    EXPECT_EQ(row[5].text(), "G");
    EXPECT_EQ(row[5].attrs.flags, attr::DIM);
    EXPECT_EQ(row[6].attrs.flags, attr::DIM);  // H: a colon colour, faint stays
    EXPECT_EQ(row[6].attrs.fg, Color::indexed(8));
}

TEST(ScreenAttributes, ColoursBoldAndTheRest) {
    Screen s(2, 40);
    s.feed("\x1b[1;3;4;5;7;9;31;42mA\x1b[0;91;104mB\x1b[38;5;200;48;5;17mC\x1b[38;2;1;2;3;48;2;4;5;6mD\x1b[0mE");
    auto row = s.row_cells(0);
    EXPECT_EQ(row[0].attrs.flags,
              attr::BOLD | attr::ITALIC | attr::UNDERLINE | attr::BLINK | attr::INVERSE | attr::STRIKE);
    EXPECT_EQ(row[0].attrs.fg, Color::indexed(1));
    EXPECT_EQ(row[0].attrs.bg, Color::indexed(2));
    EXPECT_EQ(row[1].attrs.fg, Color::indexed(9));
    EXPECT_EQ(row[1].attrs.bg, Color::indexed(12));
    EXPECT_EQ(row[2].attrs.fg, Color::indexed(200));
    EXPECT_EQ(row[2].attrs.bg, Color::indexed(17));
    EXPECT_EQ(row[3].attrs.fg, Color::rgb(1, 2, 3));
    EXPECT_EQ(row[3].attrs.bg, Color::rgb(4, 5, 6));
    EXPECT_TRUE(row[4].attrs.is_default());
    EXPECT_EQ(escaped(s.pen_formatted()), "");
    s.feed("\x1b[1;38;5;100m");
    EXPECT_EQ(escaped(s.pen_formatted()), "\\e[1;38;5;100m");
}

// ---- text and cells -----------------------------------------------------------------

TEST(ScreenText, WideCombiningAndInvalid) {
    Screen s(4, 10);
    // "一" split between blocks (after other text: libvterm alone turns that
    // into U+FFFD); e with two combining accents; an emoji; invalid bytes.
    s.feed("\x1b[1;1H\xe4");
    s.feed("\xb8");
    s.feed("\x80x\r\ne\xcc\x81\xcc");
    s.feed("\x82!\r\n\xf0\x9f\x98\x80|\xff\xfe|");
    EXPECT_EQ(s.visible_rows_text(),
              (std::vector<std::string>{"\xe4\xb8\x80x", "e\xcc\x81\xcc\x82!", "\xf0\x9f\x98\x80|\xef\xbf\xbd\xef\xbf\xbd|", ""}));
    auto row = s.row_cells(0);
    EXPECT_EQ(row[0].width, 2);
    EXPECT_EQ(row[1].width, 0);
    EXPECT_EQ(row[1].text(), "");
    EXPECT_EQ(row[2].text(), "x");
    EXPECT_EQ(s.row_cells(1)[0].text(), "e\xcc\x81\xcc\x82");
    EXPECT_EQ(s.cell(2, 0).width, 2);
    // A character cut short across blocks is one replacement character.
    Screen cut(1, 10);
    cut.feed("a\xe4\xb8");
    cut.feed("b\xe4");
    cut.feed("\x1b[mc");
    EXPECT_EQ(cut.visible_rows_text()[0], "a\xef\xbf\xbd" "b\xef\xbf\xbd" "c");

    // Overwriting either half of a wide character blanks the other half.
    s.feed("\x1b[1;2Hy\x1b[3;1Hz");
    EXPECT_EQ(s.visible_rows_text()[0], " yx");
    EXPECT_EQ(s.visible_rows_text()[2], "z |\xef\xbf\xbd\xef\xbf\xbd|");
    // Deleting a character in the middle of a wide one leaves no half behind.
    s.feed("\x1b[4;1H\xe4\xb8\x80\xe4\xb8\x80\x1b[4;2H\x1b[P");
    expect_whole_wide_characters(s);
}

// libvterm moves its cursor one column left for each C1 control written in
// UTF-8 (U+0080..U+009F), off the screen at the start of a row; they are
// dropped instead, also when split between blocks.
TEST(ScreenText, C1ControlsInUtf8AreDropped) {
    Screen s(3, 20);
    s.feed("\xc2\x85" "ab\xc2\x9b" "6ncd\xc2");
    s.feed("\x90" "e\xc2");
    s.feed("\xa9" "f");
    EXPECT_EQ(s.visible_rows_text()[0], "ab6ncde\xc2\xa9" "f");  // a CSI in UTF-8 is no CSI
    EXPECT_EQ(s.cursor(), (CursorPos{0, 9}));
    EXPECT_EQ(s.take_replies(), "");
}

TEST(ScreenText, BottomRowsOfTheActiveGrid) {
    Screen s(50, 20);
    for (int i = 1; i <= 60; ++i) s.feed("line " + std::to_string(i) + "\r\n");
    auto last = s.bottom_rows_text(30);
    ASSERT_EQ(last.size(), 30u);
    EXPECT_EQ(last[0], "line 32");
    EXPECT_EQ(last[28], "line 60");
    EXPECT_EQ(last[29], "");  // the cursor's row
    s.set_scrollback_offset(5);
    EXPECT_EQ(s.bottom_rows_text(30)[0], "line 32");  // live, whatever the offset
    EXPECT_EQ(s.visible_rows_text()[0], "line 7");
    s.set_scrollback_offset(0);
    s.feed("\x1b[?1049h\x1b[50;1Halt");
    EXPECT_EQ(s.bottom_rows_text(2), (std::vector<std::string>{"", "alt"}));
    EXPECT_EQ(s.bottom_rows_text(100).size(), 50u);
}

// ---- scrollback --------------------------------------------------------------------------

TEST(ScreenScrollback, OffsetStaysOnTheSameLines) {
    Screen s(5, 20);
    for (int i = 1; i <= 20; ++i) s.feed("line " + std::to_string(i) + "\r\n");
    ASSERT_EQ(s.history_lines(), 16u);
    s.set_scrollback_offset(5);
    auto shown = s.visible_rows_text();
    EXPECT_EQ(shown[0], "line 12");
    s.feed("more 1\r\nmore 2\r\nmore 3\r\n");
    EXPECT_EQ(s.scrollback_offset(), 8u);
    EXPECT_EQ(s.visible_rows_text(), shown);

    // At offset 0 the view follows the output.
    s.set_scrollback_offset(0);
    s.feed("more 4\r\n");
    EXPECT_EQ(s.scrollback_offset(), 0u);
    EXPECT_EQ(s.visible_rows_text()[3], "more 4");

    // The offset never passes the history.
    s.set_scrollback_offset(1000);
    EXPECT_EQ(s.scrollback_offset(), s.history_lines());
    s.feed("\x1b[?1049h");
    EXPECT_EQ(s.history_lines(), 0u);
    EXPECT_EQ(s.scrollback_offset(), 0u);
}

TEST(ScreenScrollback, KeepsTheNewest10000Lines) {
    Screen s(24, 80);
    std::string out;
    for (int i = 1; i <= 10100; ++i) out += "line " + std::to_string(i) + "\r\n";
    s.feed(out);
    ASSERT_EQ(s.history_lines(), 10000u);
    s.set_scrollback_offset(10000);
    EXPECT_EQ(s.visible_rows_text()[0], "line 78");
    // Anchored at the top of a full history, the offset is capped.
    s.feed("x\r\n");
    EXPECT_EQ(s.scrollback_offset(), 10000u);
    EXPECT_EQ(s.visible_rows_text()[0], "line 79");
}

TEST(ScreenScrollback, OnlyRegionsAtTheTopFeedTheHistory) {
    Screen s(5, 10);
    s.feed("a\r\nb\r\nc\r\nd\r\ne");
    s.feed("\x1b[2;5r\x1b[5;1H\n");  // a region below the top row scrolls without history
    EXPECT_EQ(s.history_lines(), 0u);
    s.feed("\x1b[1;4r\x1b[4;1H\n");  // one that starts at the top feeds it
    EXPECT_EQ(s.history_lines(), 1u);
    s.set_scrollback_offset(1);
    EXPECT_EQ(s.visible_rows_text()[0], "a");
}

// ---- resize ---------------------------------------------------------------------------------

TEST(ScreenResize, KeepsContentAtTheCursor) {
    Screen s(10, 20);
    for (int i = 1; i <= 10; ++i) s.feed("line " + std::to_string(i) + (i < 10 ? "\r\n" : ""));
    EXPECT_EQ(s.history_lines(), 0u);
    s.resize(6, 20);
    EXPECT_EQ(s.history_lines(), 4u);
    EXPECT_EQ(s.visible_rows_text().back(), "line 10");
    EXPECT_EQ(s.cursor(), (CursorPos{5, 7}));
    s.resize(8, 20);  // growing brings history back
    EXPECT_EQ(s.history_lines(), 2u);
    EXPECT_EQ(s.visible_rows_text().front(), "line 3");
    EXPECT_EQ(s.cursor(), (CursorPos{7, 7}));
    s.feed("!");
    EXPECT_EQ(s.visible_rows_text().back(), "line 10!");

    // Blank rows below the cursor go first.
    Screen t(10, 20);
    t.feed("top\r\nsecond");
    t.resize(4, 20);
    EXPECT_EQ(t.history_lines(), 0u);
    EXPECT_EQ(t.visible_rows_text()[0], "top");

    // Narrowing cuts rows and a wide character split by the new edge.
    Screen w(2, 6);
    w.feed("abcd\xe4\xb8\x80");
    w.resize(2, 5);
    EXPECT_EQ(w.visible_rows_text()[0], "abcd");
    w.resize(2, 8);
    EXPECT_EQ(w.visible_rows_text()[0], "abcd");
    EXPECT_EQ(w.cols(), 8);

    // The alternate screen resizes too and leaving it shows the main grid.
    Screen a(10, 20);
    a.feed("shell prompt$ \x1b[?1049h\x1b[10;1Hvim status");
    a.resize(5, 30);
    EXPECT_EQ(a.visible_rows_text().back(), "vim status");
    a.feed("\x1b[?1049l");
    EXPECT_EQ(a.visible_rows_text()[0], "shell prompt$");

    // Absurd sizes are bounded.
    Screen big(5, 5);
    big.resize(100000, 0);
    EXPECT_EQ(big.rows(), 1000);
    EXPECT_EQ(big.cols(), 1);
}

TEST(ScreenSize, RemoteClamp) {
    EXPECT_EQ(clamp_remote_size(0, 0), (ScreenSize{1, 1}));
    EXPECT_EQ(clamp_remote_size(24, 80), (ScreenSize{24, 80}));
    EXPECT_EQ(clamp_remote_size(5000, 5000), (ScreenSize{1000, 2000}));
}

// ---- round trips ------------------------------------------------------------------------------

// Colours of every kind, attributes, wide, emoji and combining characters,
// coloured erases, modes, a scroll region and the pen.
const char* const PRINTF_SCREEN =
    "plain \x1b[1mbold\x1b[0m \x1b[2mdim\x1b[0m \x1b[3mitalic\x1b[0m \x1b[4munder\x1b[0m \x1b[5mblink\x1b[0m "
    "\x1b[7minv\x1b[0m \x1b[8mhide\x1b[0m \x1b[9mstrike\x1b[0m\r\n"
    "\x1b[31mred\x1b[42mgreen-bg\x1b[0m \x1b[95mbright\x1b[0m \x1b[38;5;208m256\x1b[48;5;17mbg\x1b[0m "
    "\x1b[38;2;255;128;0mtrue\x1b[48;2;0;64;128mcolour\x1b[0m\r\n"
    "\xe6\xbc\xa2\xe5\xad\x97 wide \xf0\x9f\x98\x80\xf0\x9f\x8e\x89 emoji e\xcc\x81 a\xcc\x8a combining\r\n"
    "\x1b[44m bar with blue erase \x1b[K\x1b[0m\r\n"
    "\x1b[1;4;38;5;196mmixed\x1b[22m more\x1b[0m   gap   \x1b[7m\xe4\xb8\x80\x1b[0m\r\n"
    "\x1b[?1h\x1b=\x1b[?2004h\x1b[?1002h\x1b[?1006h\x1b[3;20r\x1b[10;5H\x1b[1;35m";

TEST(ScreenRoundTrip, PrintfOutput) {
    Screen s(24, 80);
    s.feed(PRINTF_SCREEN);
    expect_round_trip(s, "printf");

    // What follows the redraw lands the same way on both: same scroll region,
    // pen, modes and cursor.
    Screen copy(24, 80);
    copy.feed(s.peer_redraw());
    const std::string more = "next\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\x1b[0mend\x1b(0qqq\x1b(B";
    s.feed(more);
    copy.feed(more);
    expect_same_screen(s, copy, "after more output");
}

TEST(ScreenRoundTrip, HiddenCursorAndEmpty) {
    Screen empty(10, 30);
    EXPECT_EQ(empty.history_formatted(2000), "");
    expect_round_trip(empty, "empty");
    Screen s(10, 30);
    s.feed("x\x1b[?25l\x1b[?9h\x1b[?1005h\x1b[?7l");
    expect_round_trip(s, "hidden cursor");
}

TEST(ScreenRoundTrip, HistoryUpTo2000Lines) {
    Screen s(20, 60);
    std::string out;
    for (int i = 1; i <= 2600; ++i) {
        out += "\x1b[38;5;" + std::to_string(i % 256) + "m" + std::to_string(i) + "\x1b[0m ";
        if (i % 7 == 0) out += "\xe4\xb8\x80\xe4\xba\x8c ";
        if (i % 11 == 0) out += "\x1b[41m  red blanks  \x1b[0m";
        if (i % 13 == 0) out += "\x1b[44m\x1b[K\x1b[0m";
        out += "\r\n";
    }
    s.feed(out);
    ASSERT_EQ(s.history_lines(), 2581u);
    expect_round_trip(s, "long history");

    // A short history is carried whole, page by page.
    Screen t(20, 60);
    std::string few;
    for (int i = 1; i <= 45; ++i) few += "row " + std::to_string(i) + "\r\n";
    t.feed(few);
    expect_round_trip(t, "45 lines");
}

TEST(ScreenRoundTrip, AlternateScreenKeepsTheMainGridBeneath) {
    Screen s(12, 40);
    std::string out;
    for (int i = 1; i <= 30; ++i) out += "shell line " + std::to_string(i) + "\r\n";
    out += "$ vim\x1b[?1049h\x1b[H\x1b[2J\x1b[1;34m~\r\n~\x1b[0m\x1b[12;1H\x1b[7m file.txt \x1b[0m\x1b[3;4H";
    s.feed(out);
    ASSERT_TRUE(s.alternate_screen());
    EXPECT_EQ(s.history_lines(), 0u);  // no history view on the alternate screen
    Screen copy(12, 40);
    copy.feed(s.peer_redraw());
    expect_same_screen(s, copy, "alternate");
    // The history still travelled, and leaving vim shows the same shell.
    s.feed("\x1b[?1049l");
    copy.feed("\x1b[?1049l");
    expect_same_screen(s, copy, "after leaving");
    EXPECT_EQ(copy.history_lines(), s.history_lines());
    expect_round_trip(s, "main again");
}

// Runs a program in a pseudo terminal of the given size, answering its
// queries like a window does, until `ready` holds for the screen of its
// output (or 20 seconds pass). Returns everything it printed.
std::string pty_output(const std::vector<std::string>& argv, int rows, int cols,
                       const std::function<bool(const Screen&)>& ready, const std::string& cwd) {
    test::TempDir home;
    auto env = test::environment_with({{"TERM", "xterm-256color"}, {"LANG", "C.UTF-8"}, {"LC_ALL", "C.UTF-8"},
                                       {"HOME", home.path()}, {"LESS", std::nullopt}, {"VIMINIT", std::nullopt}});
    auto pty = sys::spawn_pty({.argv = argv, .environment = env, .cwd = cwd, .rows = uint16_t(rows),
                               .cols = uint16_t(cols)});
    if (!pty) {
        ADD_FAILURE() << pty.error().message;
        return {};
    }
    struct Kill {
        pid_t pid;
        ~Kill() {
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    } kill{pty->pid};
    Screen screen(rows, cols);
    std::string all;
    bool done = test::wait_for(
        [&] {
            pollfd p{pty->master.get(), POLLIN, 0};
            while (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
                char buf[65536];
                ssize_t n = ::read(pty->master.get(), buf, sizeof buf);
                if (n <= 0) break;
                all.append(buf, size_t(n));
                screen.feed(std::string_view(buf, size_t(n)));
                auto replies = screen.take_replies();
                if (!replies.empty()) (void)sys::write_all(pty->master.get(), replies);
            }
            return ready(screen);
        },
        20s);
    EXPECT_TRUE(done) << "program output so far:\n" << joined_rows(screen);
    return all;
}

bool shows(const Screen& s, std::string_view text) {
    for (auto& row : s.visible_rows_text())
        if (row.find(text) != std::string::npos) return true;
    return false;
}

TEST(ScreenRoundTrip, RealPrograms) {
    test::TempDir dir;
    test::write_file(dir / "notes.txt", "plain file\n");
    test::write_file(dir / "script.sh", "#!/bin/sh\necho hi\n");
    ::chmod((dir / "script.sh").c_str(), 0755);
    ::mkdir((dir / "folder").c_str(), 0755);
    ::symlink("notes.txt", (dir / "link").c_str());
    test::write_file(dir / "\xe6\xbc\xa2\xe5\xad\x97.txt", "");
    std::string colours;
    for (int i = 0; i < 300; ++i)
        colours += "\x1b[38;5;" + std::to_string(i % 256) + "mline " + std::to_string(i) + "\x1b[0m \xe4\xb8\x80 e\xcc\x81\n";
    test::write_file(dir / "colours.txt", colours);
    std::string code = "#include <stdio.h>\n/* comment \xe6\xbc\xa2\xe5\xad\x97 */\nint main(void) {\n";
    for (int i = 0; i < 80; ++i) code += "    printf(\"%d\\n\", " + std::to_string(i) + ");\n";
    code += "    return 0;\n}\n";
    test::write_file(dir / "main.c", code);

    {
        // ls, through a real shell in a terminal, leaves history and colours.
        auto out = pty_output({"/bin/sh", "-c", "for i in 1 2 3 4 5 6; do ls -la --color=always; done; echo DONE-LS"},
                              24, 80, [](const Screen& s) { return shows(s, "DONE-LS"); }, dir.path());
        Screen s(24, 80);
        s.feed(out);
        EXPECT_GT(s.history_lines(), 10u);
        expect_round_trip(s, "ls");
    }
    {
        auto out = pty_output({"less", "-R", "colours.txt"}, 20, 70,
                              [](const Screen& s) { return s.alternate_screen() && shows(s, "line 18"); }, dir.path());
        Screen s(20, 70);
        s.feed(out);
        EXPECT_TRUE(s.alternate_screen());
        expect_round_trip(s, "less");
    }
    {
        auto out = pty_output({"vim", "-N", "-u", "NONE", "-i", "NONE", "-n", "-c", "syntax on", "-c", "set number",
                               "-c", "set cursorline", "main.c"},
                              30, 100, [](const Screen& s) { return shows(s, "printf(") && shows(s, "main.c"); },
                              dir.path());
        Screen s(30, 100);
        s.feed(out);
        EXPECT_TRUE(s.alternate_screen());
        expect_round_trip(s, "vim");
    }
}

// ---- row difference ----------------------------------------------------------------------------

// Random screens of small rows: text of every width, attributes, erases.
void scribble(Screen& s, std::mt19937& rng, int steps) {
    const std::vector<std::string> texts = {"a",  "hello", " ",  "  ", "\xe4\xb8\x80", "\xf0\x9f\x98\x80",
                                            "e\xcc\x81", "xyz", "\xe6\xbc\xa2\xe5\xad\x97!", "|"};
    const std::vector<std::string> pens = {"\x1b[0m", "\x1b[1m", "\x1b[31m", "\x1b[44m", "\x1b[38;5;120m",
                                           "\x1b[48;2;1;2;3m", "\x1b[7m", "\x1b[2;4m", "\x1b[0;41m"};
    for (int i = 0; i < steps; ++i) {
        switch (rng() % 5) {
        case 0:
            s.feed("\x1b[" + std::to_string(1 + rng() % s.rows()) + ";" + std::to_string(1 + rng() % s.cols()) + "H");
            break;
        case 1: s.feed(pens[rng() % pens.size()]); break;
        case 2: s.feed(rng() % 3 == 0 ? "\x1b[K" : "\x1b[" + std::to_string(rng() % 4) + "X"); break;
        default: s.feed(texts[rng() % texts.size()]); break;
        }
    }
}

TEST(ScreenRowDiff, TurnsOneScreenIntoTheOther) {
    std::mt19937 rng(99);
    const int rows = 4, cols = 24;
    for (int round = 0; round < 150; ++round) {
        SCOPED_TRACE(round);
        Screen a(rows, cols), b(rows, cols);
        scribble(a, rng, 40);
        if (round % 3 == 0) b.feed(a.state_formatted());  // b starts as a copy of a and changes a little
        scribble(b, rng, round % 3 == 0 ? 5 : 40);
        auto ia = a.image(), ib = b.image();

        // Applied to a screen that shows a, the diffs give b.
        Screen shown(rows, cols);
        shown.feed(a.state_formatted());
        for (int r = 0; r < rows; ++r) shown.feed(row_diff(&ia, ib, r));
        for (int r = 0; r < rows; ++r) ASSERT_EQ(shown.row_cells(r), b.row_cells(r)) << "row " << r;

        // From a blank screen (a full redraw).
        Screen blank(rows, cols);
        for (int r = 0; r < rows; ++r) blank.feed(row_diff(nullptr, ib, r));
        for (int r = 0; r < rows; ++r) ASSERT_EQ(blank.row_cells(r), b.row_cells(r)) << "full, row " << r;

        // With a sidebar: the pane starts at column 26 of a wider terminal.
        const int offset = 25;
        Screen wide(rows, cols + offset);
        wide.feed("\x1b[0;45m\x1b[2J");  // a coloured sidebar area that must stay untouched
        for (int r = 0; r < rows; ++r) {
            wide.feed("\x1b[" + std::to_string(r + 1) + ";" + std::to_string(offset + 1) + "H\x1b[0m\x1b[K");
            wide.feed(a.row_formatted(r));
        }
        for (int r = 0; r < rows; ++r) wide.feed(row_diff(&ia, ib, r, offset));
        for (int r = 0; r < rows; ++r) {
            auto got = wide.row_cells(r);
            ASSERT_EQ(std::vector<Cell>(got.begin() + offset, got.end()), b.row_cells(r)) << "offset row " << r;
            EXPECT_EQ(got[0].attrs.bg, Color::indexed(5));
        }

        // Equal rows give nothing.
        for (int r = 0; r < rows; ++r) EXPECT_EQ(row_diff(&ib, ib, r), "");
    }
}

TEST(ScreenRowDiff, OneChangedCellIsSmall) {
    Screen a(3, 80), b(3, 80);
    const std::string text = "$ some command line that is fairly long and stays the same";
    a.feed(text);
    b.feed(text + "x");
    auto ia = a.image(), ib = b.image();
    EXPECT_EQ(escaped(row_diff(&ia, ib, 0, 25)), "\\e[1;" + std::to_string(text.size() + 1 + 25) + "H\\e[0mx");
    EXPECT_EQ(row_diff(&ia, ib, 1, 25), "");
    // A cleared tail is one erase.
    EXPECT_EQ(escaped(row_diff(&ib, ia, 0)), "\\e[1;" + std::to_string(text.size() + 1) + "H\\e[0m\\e[K");
    EXPECT_EQ(escaped(row_diff(&b, a, 0)), escaped(row_diff(&ib, ia, 0)));
}

// ---- bad input ---------------------------------------------------------------------------------

TEST(ScreenBadInput, NeverBreaks) {
    // Random bytes, biased towards escape-sequence material, in random blocks.
    std::mt19937 rng(7);
    const std::string alphabet = "\x1b\x1b\x1b[[[]P?>;;:0123456789hlmrHJKcnsu\x07\x18\x08\r\n\t \xc3\xa9\xe4\xb8\x80\xff\x9b";
    std::string junk;
    for (int i = 0; i < 300000; ++i) junk += rng() % 4 == 0 ? char(rng() % 256) : alphabet[rng() % alphabet.size()];
    Screen s(20, 50);
    for (size_t at = 0; at < junk.size();) {
        size_t n = std::min<size_t>(1 + rng() % 4096, junk.size() - at);
        s.feed(std::string_view(junk).substr(at, n));
        at += n;
        if (rng() % 20 == 0) s.resize(1 + int(rng() % 30), 1 + int(rng() % 60));
    }
    s.take_replies();
    // Whatever came out is still a consistent screen that redraws the same.
    s.feed("\x1b" "c");
    s.resize(20, 50);
    s.feed(junk.substr(0, 50000));
    expect_whole_wide_characters(s);
    Screen copy(s.rows(), s.cols());
    copy.feed(s.peer_redraw());
    for (int r = 0; r < s.rows(); ++r) ASSERT_EQ(copy.row_cells(r), s.row_cells(r)) << "row " << r;
}

TEST(ScreenBadInput, HugeParametersAndUnfinishedSequences) {
    Screen s(5, 20);
    s.feed("\x1b[99999999999999999999;99999999999999H@");
    EXPECT_EQ(s.cursor().row, 4);
    // More arguments than libvterm's parser holds: the sequence is dropped
    // whole (libvterm alone writes past its argument array here).
    s.feed("\x1b[1;2;3;4;5;6;7;8;9;10;11;12;13;14;15;16;17;18m");
    s.feed("\x1b[" + std::string(5000, ';'));
    s.feed(std::string(5000, ':') + "1mA");
    EXPECT_EQ(s.row_cells(s.cursor().row)[s.cursor().col - 1].text(), "A");
    EXPECT_TRUE(s.row_cells(s.cursor().row)[s.cursor().col - 1].attrs.is_default());
    s.feed("\x1b[?99999999999h\x1b[" + std::string(100000, '1') + "m");
    s.feed("\x1b[999999999999S\x1b[99999999L\x1b[9999999@\x1b[9999999P\x1b[99999999X");
    s.feed("\x1b]0;" + std::string(200000, 'x'));  // an OSC that never ends...
    s.feed("\x07ok");                              // ...until it does
    EXPECT_EQ(s.row_cells(s.cursor().row)[s.cursor().col - 1].text(), "k");
    s.feed("\x1b[");  // left open at the end of a block
    s.feed("1mB");
    EXPECT_TRUE(s.row_cells(s.cursor().row)[s.cursor().col - 1].attrs.has(attr::BOLD));
}

// A scroll region or a saved cursor from before the screen shrank: libvterm
// would scroll with negative sizes and restore the cursor off the screen.
TEST(ScreenBadInput, RegionAndSavedCursorAfterShrinking) {
    Screen s(40, 80);
    s.feed("\x1b[2;30r\x1b[35;70H\x1b" "7\x1b[?6h");
    s.resize(10, 20);
    s.feed("\x1b[?6l\x1b[1;1Htop\x1b[10;1H\n");
    EXPECT_NE(s.visible_rows_text()[0], "top");  // the whole screen scrolled: no region left
    s.feed("\x1b[?6h\x1b[10;1H\n\n\n\x1bM\x1bM\x1b[5L\x1b[5M\x1b[3S\x1b[3T");
    s.feed("\x1b" "8abc");
    EXPECT_EQ(s.visible_rows_text()[8], std::string(19, ' ') + "a");
    EXPECT_EQ(s.visible_rows_text()[9], "bc");
    s.feed("\x1b[1;1H\x1b[s\x1b[?1049h");
    s.resize(5, 10);
    s.feed("\x1b[5;10H\x1b[s");
    s.resize(3, 5);
    s.feed("\x1b[u!\x1b[?1049l?");
    EXPECT_EQ(s.cursor().row, 0);
    EXPECT_EQ(s.visible_rows_text()[0].substr(0, 1), "?");
}

// Fed on a thread with a small stack: libvterm decodes the text of one write
// into an array on its stack, four bytes per byte.
TEST(ScreenBadInput, MegabyteLineWithoutNewline) {
    Screen s(24, 80);
    std::string line(1 << 20, 'x');
    for (size_t i = 0; i < line.size(); i += 97) line[i] = 'y';
    struct Job {
        Screen* screen;
        const std::string* bytes;
    } job{&s, &line};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 512 * 1024);
    pthread_t thread;
    ASSERT_EQ(pthread_create(
                  &thread, &attr,
                  [](void* arg) -> void* {
                      auto* j = static_cast<Job*>(arg);
                      j->screen->feed(*j->bytes);
                      return nullptr;
                  },
                  &job),
              0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_EQ(s.history_lines(), 10000u);
    const size_t rows_written = (line.size() + 79) / 80;
    EXPECT_EQ(s.cursor().row, 23);
    EXPECT_EQ(s.cursor().col, int(line.size() % 80));
    // The last row holds the end of the line.
    size_t last_start = (rows_written - 1) * 80;
    EXPECT_EQ(s.visible_rows_text()[23], line.substr(last_start));
}

}  // namespace
}  // namespace ruk
