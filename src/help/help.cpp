// The help reflows the same texts that `ruk help` prints, so the two never
// disagree. Positions and lengths count characters, not bytes: the key list
// holds a few non-ASCII characters and the pane is as wide as it is.
#include "help/help.h"

#include <utf8proc.h>

#include <algorithm>

#include "texts.h"
#include "util/utf8.h"
#include "util/white_space.h"

namespace ruk {

namespace {

using Chars = std::u32string;

Chars decode(std::string_view text) {
    Chars out;
    for (size_t i = 0; i < text.size();) {
        utf8proc_int32_t value = 0;
        const auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + i),
                                        static_cast<utf8proc_ssize_t>(text.size() - i), &value);
        if (n <= 0) {
            out += U'\uFFFD';
            ++i;
        } else {
            out += static_cast<char32_t>(value);
            i += size_t(n);
        }
    }
    return out;
}

std::string encode(const Chars& chars) {
    std::string out;
    for (char32_t c : chars) append_utf8(out, c);
    return out;
}

size_t leading_space(const Chars& s) {
    size_t n = 0;
    while (n < s.size() && is_white_space(s[n])) ++n;
    return n;
}

Chars trim_end(Chars s) {
    while (!s.empty() && is_white_space(s.back())) s.pop_back();
    return s;
}

Chars trim(const Chars& s) {
    const size_t start = leading_space(s);
    return trim_end(s.substr(start));
}

// Where a line's description starts: after its first double blank, else
// after its first ": ", else at its text (no description column).
size_t description_column(const Chars& line, size_t lead) {
    const size_t gap = line.find(U"  ", lead);
    if (gap != Chars::npos) {
        const size_t text = line.find_first_not_of(U' ', gap);
        if (text != Chars::npos) return text;
    }
    const size_t colon = line.find(U": ");
    if (colon != Chars::npos) return colon + 2;
    return lead;
}

struct Entry {
    Chars text;
    size_t lead = 0;
    size_t column = 0;
};

void wrap(const Entry& entry, size_t width, std::vector<std::string>& out) {
    const size_t indent = entry.column > width / 2 ? 0 : entry.column;
    Chars rest = entry.text;
    while (rest.size() > width) {
        const size_t from = std::max(indent, leading_space(rest)) + 1;
        size_t cut = width;  // no blank: the word is cut
        for (size_t u = width; u >= from && u > 0; --u) {
            if (rest[u] == U' ') {
                cut = u;
                break;
            }
        }
        out.push_back(encode(trim_end(rest.substr(0, cut))));
        Chars tail = rest.substr(cut);
        rest = Chars(indent, U' ') + tail.substr(leading_space(tail));
    }
    out.push_back(encode(rest));
}

}  // namespace

std::vector<std::string> reflow_text(std::string_view text, int width) {
    std::vector<Entry> entries;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view raw = text.substr(start, end - start);
        if (raw.ends_with('\r')) raw.remove_suffix(1);
        start = end + 1;

        const Chars line = decode(raw);
        const size_t lead = leading_space(line);
        if (!entries.empty()) {
            Entry& last = entries.back();
            if (last.column > last.lead && lead == last.column) {
                last.text += U' ';
                last.text += trim(line);
                continue;
            }
        }
        entries.push_back({trim_end(line), lead, description_column(line, lead)});
    }

    std::vector<std::string> lines;
    const size_t w = size_t(std::max(width, 1));
    for (const auto& entry : entries) wrap(entry, w, lines);
    return lines;
}

const std::vector<std::string>& help_lines(int width) {
    // The text is fixed for the life of the process, so the lines depend on
    // the width alone: an open help view is drawn without reflowing it again.
    struct Cache {
        int width = -1;
        std::vector<std::string> lines;
    };
    thread_local Cache cache;
    if (cache.width != width) cache = {width, reflow_text(version_line() + "\n\n" + std::string(KEYS_TEXT), width)};
    return cache.lines;
}

size_t help_line_count(int width) { return help_lines(width).size(); }

std::optional<Screen> render_help(size_t offset, int rows, int cols) {
    Screen screen(rows, cols, 0, Screen::Kind::Remote);
    const auto& lines = help_lines(cols);
    const size_t page = size_t(std::max(rows, 1));
    const size_t first = std::min(offset, lines.size() > page ? lines.size() - page : 0);
    std::string out = "\x1b[?25l\x1b[?7l";
    for (size_t r = 1; r <= page && first + r - 1 < lines.size(); ++r) {
        const size_t index = first + r - 1;
        out += "\x1b[" + std::to_string(r) + ";1H";
        if (index == 0) out += "\x1b[1m";
        out += lines[index];
        out += "\x1b[0m";
    }
    screen.feed(out);
    return screen;
}

}  // namespace ruk
