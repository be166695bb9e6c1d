// The box is drawn into a copy of the window's screen, never into the
// window's own, so it may assume nothing about the modes the program left
// there: it selects the ASCII character set and turns automatic wrapping off
// first, so that a line too wide for a tiny pane is cut instead of spilling
// onto the next row.
#include "picker/render.h"

#include <algorithm>

#include "picker/matching.h"
#include "ui/sidebar.h"
#include "util/width.h"

namespace ruk {

namespace {

constexpr std::string_view BORDER = "\x1b[0;38;5;67m";
constexpr std::string_view TITLE_STYLE = "\x1b[1;38;5;252m";
constexpr std::string_view SELECTED_BACKGROUND = "\x1b[48;5;24m";
constexpr std::string_view DIM = "\x1b[2m";
constexpr std::string_view FOOTER = " ↑↓ move · enter go · esc cancel";
constexpr std::string_view NO_MATCHES = "  no matches";
constexpr int UNREACHABLE_COLOUR = 240;
constexpr int MACHINE_MARK_COLOUR = 245;

std::string fg(int colour) { return "\x1b[38;5;" + std::to_string(colour) + "m"; }

std::string repeat(std::string_view text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

std::string blanks(int columns) { return std::string(size_t(std::max(columns, 0)), ' '); }

// The end of the text that fits in `columns`: characters go from the start.
std::string_view keep_end(std::string_view text, int columns) {
    if (columns <= 0) return {};
    size_t start = 0;
    while (display_width(text.substr(start)) > columns) {
        ++start;
        while (start < text.size() && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) ++start;
    }
    return text.substr(start);
}

struct Segment {
    std::string style;
    std::string text;
};

// A segment split into pieces where the query's words occur, those pieces
// underlined.
void add_underlined(std::vector<Segment>& out, const std::string& style, std::string_view text, std::string_view query) {
    const std::vector<bool> marks = matched_characters(text, query);
    size_t i = 0, c = 0;
    while (i < text.size()) {
        const bool marked = c < marks.size() && marks[c];
        Segment piece{marked ? style + "\x1b[4m" : style, {}};
        while (i < text.size() && (c < marks.size() && marks[c]) == marked) {
            size_t n = 1;
            while (i + n < text.size() && (static_cast<unsigned char>(text[i + n]) & 0xC0) == 0x80) ++n;
            piece.text.append(text.substr(i, n));
            i += n;
            ++c;
        }
        out.push_back(std::move(piece));
    }
    if (text.empty()) out.push_back({style, {}});
}

struct Look {
    std::string mark;
    std::string mark_style;
    std::string name_colour;
};

Look look_of(const SwitcherEntry& e, uint64_t tick) {
    const std::string unreachable_name = e.unreachable ? fg(UNREACHABLE_COLOUR) : "";
    if (e.is_machine()) return {"+", fg(MACHINE_MARK_COLOUR), unreachable_name};
    if (!e.runtime) return {" ", "", unreachable_name};
    SidebarAgent agent;
    agent.state = e.state;
    agent.done = e.done;
    agent.unreachable = e.unreachable;
    const StateLook state = state_look(display_state(agent), tick);
    std::string name_colour = unreachable_name;
    if (!e.unreachable)
        if (auto colour = runtime_colour(*e.runtime)) name_colour = fg(*colour);
    return {std::string(state.mark), fg(state.colour), name_colour};
}

std::string detail_of(const SwitcherEntry& e) {
    if (e.is_machine()) return e.unreachable ? "offline" : "no windows yet";
    if (!e.runtime) return {};
    std::string detail(runtime_name(*e.runtime));
    if (e.project) {
        detail += " · " + *e.project;
        if (e.branch) detail += "/" + *e.branch;
    }
    return detail;
}

std::string entry_row(const SwitcherEntry& e, bool selected, bool headers, int inner, std::string_view query,
                      uint64_t tick) {
    const Look look = look_of(e, tick);
    const int name_cols = std::max(10, 2 * inner / 5);
    const std::string name = shorten_keep_start(e.name, name_cols);

    std::vector<Segment> segments;
    segments.push_back({look.mark_style, " " + look.mark + " "});
    add_underlined(segments, "\x1b[1m" + look.name_colour, name, query);
    segments.push_back({"", blanks(name_cols + 1 - display_width(name))});
    std::string number = e.number ? pad_columns("#" + std::to_string(*e.number), 5) + " " : blanks(6);
    segments.push_back({std::string(DIM), std::move(number)});
    if (!headers) {
        add_underlined(segments, fg(e.colour), e.host, query);
        segments.push_back({"", "  "});
    }
    segments.push_back({std::string(DIM), detail_of(e)});

    const std::string_view background = selected ? SELECTED_BACKGROUND : "";
    std::string out;
    int used = 0;
    for (const auto& s : segments) {
        if (used >= inner) break;
        const std::string_view shown = take_columns(s.text, inner - used);
        out += "\x1b[0m";
        out += background;
        out += s.style;
        out += shown;
        used += display_width(shown);
    }
    out += "\x1b[0m";
    out += background;
    out += blanks(inner - used);
    return out;
}

std::string header_row(const SwitcherEntry& e, int inner) {
    const std::string host = shorten_keep_start(e.host, inner - 6);
    const std::string style = e.unreachable ? std::string(DIM) : "\x1b[1;38;5;" + std::to_string(e.colour) + "m";
    return style + fit_columns(" ── " + host + " " + repeat("─", inner - 6 - display_width(host)), inner);
}

class Box {
public:
    explicit Box(const SwitcherBox& box) : m_box(box) {}

    void line(int line, std::string_view text) {
        m_out += "\x1b[" + std::to_string(m_box.top + line + 1) + ";" + std::to_string(m_box.left + 1) + "H";
        m_out += text;
        m_out += "\x1b[0m";
    }
    // A line between the side borders; `lead` starts the text's style.
    void framed(int at, std::string_view lead, std::string_view text) {
        std::string s(BORDER);
        s += "│";
        s += lead;
        s += text;
        s += "\x1b[0m";
        s += BORDER;
        s += "│";
        line(at, s);
    }
    std::string& out() { return m_out; }

private:
    SwitcherBox m_box;
    std::string m_out;
};

}  // namespace

SwitcherDrawing render_switcher(const SwitcherState& state, const SwitcherList& list, TermSize pane, uint64_t tick) {
    const SwitcherBox geometry = switcher_box(pane, list.rows.size());
    const int inner = geometry.inner;
    Box box(geometry);
    box.out() = "\x1b(B\x1b[?7l";

    const std::string title = " switch to (" + std::to_string(list.matching.size()) + ") ";
    box.line(0, std::string(BORDER) + "╭─" + std::string(TITLE_STYLE) + title + "\x1b[22m" + std::string(BORDER) +
                    repeat("─", inner - (display_width(title) + 1)) + "╮");

    const std::string_view query = keep_end(state.query, inner - 3);
    box.line(1, std::string(BORDER) + "│\x1b[0;1m › " + pad_columns(query, inner - 3) + std::string(BORDER) + "│");
    box.line(2, std::string(BORDER) + "├" + repeat("─", inner) + "┤");

    for (int l = 0; l < geometry.visible; ++l) {
        const size_t k = state.scroll + size_t(l);
        std::string text;
        if (k < list.rows.size()) {
            const SwitcherRow& row = list.rows[k];
            const SwitcherEntry& entry = list.entries[list.matching[row.match]];
            text = row.kind == SwitcherRow::Kind::Header
                       ? header_row(entry, inner)
                       : entry_row(entry, row.match == state.selected, list.headers, inner, state.query, tick);
        } else if (list.matching.empty() && l == 0) {
            text = std::string(DIM) + fit_columns(NO_MATCHES, inner);
        } else {
            text = blanks(inner);
        }
        box.framed(3 + l, "\x1b[0m", text);
    }

    box.framed(geometry.height - 2, "\x1b[0;2m", fit_columns(FOOTER, inner));
    box.line(geometry.height - 1, std::string(BORDER) + "╰" + repeat("─", inner) + "╯");

    SwitcherDrawing drawing;
    drawing.cursor = {geometry.top + 1, geometry.left + 4 + display_width(query)};
    // The user types here, whatever the program did with its cursor.
    box.out() += "\x1b[" + std::to_string(drawing.cursor.row + 1) + ";" + std::to_string(drawing.cursor.col + 1) +
                 "H\x1b[?25h";
    drawing.bytes = std::move(box.out());
    return drawing;
}

}  // namespace ruk
