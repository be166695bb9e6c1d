#include "agents/state.h"

#include <utf8proc.h>

#include <algorithm>
#include <string_view>
#include <vector>

#include "screen/screen.h"
#include "util/utf8.h"
#include "util/white_space.h"

namespace ruk {
namespace {

constexpr int ROWS_READ = 30;

constexpr std::string_view QUESTIONS[] = {"do you want to", "would you like to", "yes, i trust this folder",
                                          "trust this folder", "allow this"};
constexpr std::string_view POINTERS[] = {"\u276F", "\u203A", "\u2192"};  // ❯ › →
constexpr std::string_view INTERRUPT_HINTS[] = {"esc to interrupt", "esc interrupt", "esc again to interrupt"};
constexpr std::string_view HEAVY_BAR = "\u2503";  // ┃
constexpr std::string_view RADIO_ON = "(\u25CF)", RADIO_OFF = "(\u25CB)";  // (●) (○)

// The first code point of valid UTF-8 text and its length in bytes; 0 for
// empty text.
std::pair<char32_t, size_t> first_char(std::string_view text) {
    const Decoded d = decode_utf8_at(text);
    return {d.cp, d.length};
}

bool starts_with_letter_or_digit(std::string_view text) { return !text.empty() && is_letter_or_digit(first_char(text).first); }

std::string lower(std::string_view row) {
    std::string out(row);
    if (std::all_of(row.begin(), row.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; })) {
        for (char& c : out)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
        return out;
    }
    out.clear();
    while (!row.empty()) {
        const auto [cp, len] = first_char(row);
        append_utf8(out, static_cast<char32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(cp))));
        row.remove_prefix(len);
    }
    return out;
}

bool contains(std::string_view row, std::string_view phrase) { return row.find(phrase) != std::string_view::npos; }

template <size_t N>
bool contains_any(std::string_view row, const std::string_view (&phrases)[N]) {
    return std::any_of(std::begin(phrases), std::end(phrases), [&](std::string_view p) { return contains(row, p); });
}

// "❯ 1. Yes": a pointer at a choice that starts with a letter or digit.
bool is_pointer_row(std::string_view row) {
    row = trim_start_white_space(row);
    for (std::string_view pointer : POINTERS)
        if (row.starts_with(pointer)) return starts_with_letter_or_digit(trim_start_white_space(row.substr(pointer.size())));
    return false;
}

// "  2. No": an indented choice beside the pointed one.
bool is_option_row(std::string_view row) {
    return row.starts_with("  ") && starts_with_letter_or_digit(trim_start_white_space(row));
}

bool pointer_beside_option(const std::vector<std::string>& rows) {
    for (size_t i = 0; i < rows.size(); ++i) {
        if (!is_pointer_row(rows[i])) continue;
        if (i + 1 < rows.size() && is_option_row(rows[i + 1])) return true;
        if (i > 0 && is_option_row(rows[i - 1])) return true;
    }
    return false;
}

// "┃ › (●) Allow": a marker of one character, then a radio button.
bool is_radio_row(std::string_view row) {
    while (true) {
        if (row.starts_with(HEAVY_BAR)) {
            row.remove_prefix(HEAVY_BAR.size());
            continue;
        }
        const auto trimmed = trim_start_white_space(row);
        if (trimmed.size() == row.size()) break;
        row = trimmed;
    }
    const size_t first_end = std::min(row.find(' '), row.size());
    const std::string_view first = row.substr(0, first_end);
    if (first.empty() || first_char(first).second != first.size()) return false;
    if (first_end == row.size()) return false;
    std::string_view rest = row.substr(first_end + 1);
    const std::string_view second = rest.substr(0, std::min(rest.find(' '), rest.size()));
    return second == RADIO_ON || second == RADIO_OFF;
}

// "⠹ Working...": a braille spinner before the word alone.
bool is_spinner_row(std::string_view row) {
    row = trim_start_white_space(row);
    const auto [cp, len] = first_char(row);
    if (len == 0 || cp < 0x2801 || cp > 0x28FF) return false;
    return trim_white_space(row.substr(len)) == "working...";
}

}  // namespace

AgentState rows_state(std::span<const std::string> raw) {
    std::vector<std::string> rows;
    rows.reserve(raw.size());
    for (const auto& r : raw) rows.push_back(lower(r));
    if (rows.empty()) return AgentState::Idle;

    auto any_row = [&](auto&& test) { return std::any_of(rows.begin(), rows.end(), test); };
    if (any_row([](std::string_view r) { return contains(r, "allow once") && contains(r, "reject"); }))
        return AgentState::NeedsInput;
    if (any_row([](std::string_view r) { return contains(r, "enter submit") && contains(r, "esc dismiss"); }))
        return AgentState::NeedsInput;
    if (any_row([](std::string_view r) { return contains_any(r, QUESTIONS); }) && pointer_beside_option(rows))
        return AgentState::NeedsInput;
    if (std::count_if(rows.begin(), rows.end(), [](const std::string& r) { return is_radio_row(r); }) >= 2)
        return AgentState::NeedsInput;
    if (any_row([](std::string_view r) { return contains_any(r, INTERRUPT_HINTS); })) return AgentState::Working;
    if (any_row([](std::string_view r) { return is_spinner_row(r) || trim_end_white_space(r).ends_with("[stop]"); }))
        return AgentState::Working;
    return AgentState::Idle;
}

AgentState screen_state(const Screen& screen) {
    const auto rows = screen.bottom_rows_text(ROWS_READ);
    return rows_state(rows);
}

void update_agent_state(Agent& agent, AgentState reading, bool viewing) {
    if (agent.state == AgentState::Working && reading == AgentState::Idle) {
        if (agent.idle_ticks == 0) {
            agent.idle_ticks = 1;
            agent.done = false;
            return;
        }
        agent.state = AgentState::Idle;
        agent.idle_ticks = 0;
        agent.done = !viewing;
        return;
    }
    agent.idle_ticks = 0;
    agent.state = reading;
    if (reading != AgentState::Idle || viewing) agent.done = false;
}

}  // namespace ruk
