// The key help: the key list reflowed to the pane width (entries joined with
// their continuation lines, wrapped under their description column) and the
// screen that shows a page of it.
#include "help/help.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "texts.h"

namespace ruk {
namespace {

using Lines = std::vector<std::string>;

std::string spaces(size_t n) { return std::string(n, ' '); }

const std::string_view FIXTURE =
    "title line\r\n"
    "  key a     does a thing that is long enough to wrap around\n"
    "            and continues here\n"
    "            and here too   \n"
    "  key b     short\n"
    "note: first part of a note\n"
    "      second part of the note\n"
    "  (no column here)\n"
    "  not a continuation\n"
    "unbreakable: abcdefghijklmnopqrstuvwxyz0123456789";

struct ReflowCase {
    int width;
    Lines want;
};

TEST(HelpReflow, JoinsContinuationsAndWrapsUnderTheDescription) {
    const ReflowCase cases[] = {
        {30,
         {
             "title line",
             "  key a     does a thing that",
             spaces(12) + "is long enough to",
             spaces(12) + "wrap around and",
             spaces(12) + "continues here and",
             spaces(12) + "here too",
             "  key b     short",
             "note: first part of a note",
             spaces(6) + "second part of the note",
             "  (no column here)",
             "  not a continuation",
             "unbreakable: abcdefghijklmnopq",  // no blank to break at: the word is cut
             spaces(13) + "rstuvwxyz01234567",
             spaces(13) + "89",
         }},
        // A description column past half the width: wrapped lines start at 0.
        {20,
         {
             "title line",
             "  key a     does a",
             "thing that is long",
             "enough to wrap",
             "around and continues",
             "here and here too",
             "  key b     short",
             "note: first part of",
             "      a note second",
             "      part of the",
             "      note",
             "  (no column here)",
             "  not a continuation",
             "unbreakable:",
             "abcdefghijklmnopqrst",
             "uvwxyz0123456789",
         }},
        {200,
         {
             "title line",
             "  key a     does a thing that is long enough to wrap around and continues here and here too",
             "  key b     short",
             "note: first part of a note second part of the note",
             "  (no column here)",
             "  not a continuation",
             "unbreakable: abcdefghijklmnopqrstuvwxyz0123456789",
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.width);
        EXPECT_EQ(reflow_text(FIXTURE, c.width), c.want);
    }
}

// Characters, not bytes: a line of wide-byte characters wraps by count.
TEST(HelpReflow, CountsCharacters) {
    EXPECT_EQ(reflow_text("ab  ééé ééé ééé", 11), (Lines{"ab  ééé ééé", "    ééé"}));
}

// The text without its blanks and line ends.
std::string visible_characters(const Lines& lines) {
    std::string out;
    for (const auto& line : lines)
        for (char c : line)
            if (c != ' ' && c != '\n') out += c;
    return out;
}

TEST(HelpReflow, TheHelpFitsEveryWidthAndLosesNothing) {
    const std::string text = version_line() + "\n\n" + std::string(KEYS_TEXT);
    const auto all = visible_characters({text});
    for (int width = 1; width <= 130; ++width) {
        SCOPED_TRACE(width);
        const Lines lines = help_lines(width);
        ASSERT_EQ(help_line_count(width), lines.size());
        for (const auto& line : lines) {
            std::u32string chars;
            for (size_t i = 0; i < line.size(); ++i)
                if ((static_cast<unsigned char>(line[i]) & 0xC0) != 0x80) chars += U'x';
            EXPECT_LE(chars.size(), size_t(width)) << line;
            EXPECT_FALSE(line.ends_with(' ')) << line;
        }
        EXPECT_EQ(visible_characters(lines), all) << "every character once, in order";
    }
    const Lines zero = help_lines(0);  // a copy: the next call reuses the cached lines
    EXPECT_EQ(zero, help_lines(1));
}

struct HelpCase {
    int width;
    size_t count;
    std::vector<std::pair<size_t, std::string>> lines;  // index, text
};

TEST(HelpReflow, TheKeyListAtPaneWidths) {
    const std::string version = version_line();
    const HelpCase cases[] = {
        {30,
         66,
         {
             {0, "ruk 0.1.4 4b1d0e9, built"},
             {1, "2026-10-05 15:24:23 UTC"},
             {2, ""},
             // prefix n's description starts at 17, past half of 30.
             {5, "  prefix n / p   next /"},
             {6, "previous window"},
             {57, "mouse: click an agent or"},
             {58, "       machine in the sidebar,"},
         }},
        {55,
         47,
         {
             {0, version},
             {7, "  (these act on the machine of the window you are"},
             {8, "  viewing)"},
             {11, "  prefix s       switch to any window on any machine:"},
             {12, spaces(17) + "type part of its name, host, project"},
             // "match is selected," and "arrows or ..." were two lines of the text.
             {17, spaces(17) + "selected, arrows or ctrl+n/p to move,"},
             {43, "mouse: click an agent or machine in the sidebar, or a"},
             {44, "       window in the status bar, to switch to it; the"},
         }},
        {80,
         33,
         {
             {7, "  (these act on the machine of the window you are viewing)"},
             {8, "  prefix a       next agent needing attention on any machine (needs input, then"},
             {9, spaces(17) + "done)"},
             {13, spaces(17) + "number; the best match is selected, arrows or ctrl+n/p to move,"},
             {31, "       to switch to it; the wheel scrolls history (or the program, if it uses"},
         }},
        {120,
         24,
         {
             {8, "  prefix a       next agent needing attention on any machine (needs input, then done)"},
             {9, "  prefix s       switch to any window on any machine: type part of its name, host, project or agent "
                 "(words in any order;"},
             {10, spaces(17) + "name@host narrows to a host), listed by machine like the sidebar and by window number; "
                               "the best match"},
             {23, "       history (or the program, if it uses the mouse or a full-screen view)"},
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.width);
        const Lines lines = help_lines(c.width);
        EXPECT_EQ(lines.size(), c.count);
        for (const auto& [index, text] : c.lines) {
            ASSERT_LT(index, lines.size());
            EXPECT_EQ(lines[index], text) << "line " << index;
        }
    }
}

TEST(HelpView, ShowsAPageFromTheOffsetWithTheVersionLineBold) {
    const Lines lines = help_lines(55);
    ASSERT_EQ(lines.size(), 47u);

    auto help = render_help(0, 23, 55);
    ASSERT_TRUE(help);
    EXPECT_EQ(help->rows(), 23);
    EXPECT_EQ(help->cols(), 55);
    EXPECT_TRUE(help->cursor_hidden());
    auto rows = help->visible_rows_text();
    for (int r = 0; r < 23; ++r) EXPECT_EQ(rows[size_t(r)], lines[size_t(r)]) << r;
    EXPECT_TRUE(help->cell(0, 0).attrs.has(attr::BOLD));
    EXPECT_FALSE(help->cell(2, 0).attrs.has(attr::BOLD));
    // A narrow pane: the version line wraps, and only its first line is bold.
    auto wide = render_help(0, 3, 24);
    ASSERT_TRUE(wide);
    EXPECT_EQ(wide->visible_rows_text(), (Lines{"ruk 0.1.4 4b1d0e9, built", "2026-10-05 15:24:23 UTC", ""}));
    EXPECT_TRUE(wide->cell(0, 0).attrs.has(attr::BOLD));
    EXPECT_FALSE(wide->cell(1, 0).attrs.has(attr::BOLD));

    // Past the end: the last page, full.
    for (size_t offset : {size_t(24), size_t(1000)}) {
        auto last = render_help(offset, 23, 55);
        ASSERT_TRUE(last);
        rows = last->visible_rows_text();
        for (int r = 0; r < 23; ++r) EXPECT_EQ(rows[size_t(r)], lines[24 + size_t(r)]) << r;
    }
    // A pane taller than the help: the rest is blank.
    auto tall = render_help(5, 60, 55);
    ASSERT_TRUE(tall);
    rows = tall->visible_rows_text();
    EXPECT_EQ(rows[0], lines[0]);
    EXPECT_EQ(rows[46], lines[46]);
    EXPECT_EQ(rows[47], "");
}

}  // namespace
}  // namespace ruk
