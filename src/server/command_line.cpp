// Completion works on the last word only and never reorders or rewrites
// what comes before it, so what the user typed stays theirs.
#include "server/command_line.h"

#include <algorithm>

namespace ruk {

namespace {

constexpr std::string_view PROMPT_COMMANDS[] = {"swap-window", "rename", "name", "send",
                                                "connect", "disconnect", "notify"};

std::vector<std::string_view> words_of(std::string_view text) {
    std::vector<std::string_view> words;
    size_t at = 0;
    while (at < text.size()) {
        const size_t start = text.find_first_not_of(' ', at);
        if (start == std::string_view::npos) break;
        size_t end = text.find(' ', start);
        if (end == std::string_view::npos) end = text.size();
        words.push_back(text.substr(start, end - start));
        at = end;
    }
    return words;
}

// The common beginning, never ending inside a UTF-8 sequence.
std::string_view common_prefix(const std::vector<std::string_view>& texts) {
    std::string_view prefix = texts.front();
    for (std::string_view text : texts) {
        size_t n = 0;
        while (n < prefix.size() && n < text.size() && prefix[n] == text[n]) ++n;
        prefix = prefix.substr(0, n);
    }
    size_t end = prefix.size();
    if (end < texts.front().size())
        while (end > 0 && (static_cast<unsigned char>(texts.front()[end]) & 0xC0) == 0x80) --end;
    return prefix.substr(0, end);
}

}  // namespace

Completion complete_command_line(std::string_view input, const std::vector<std::string>& window_names) {
    std::optional<std::string_view> head;
    std::string_view word = input;
    if (const auto blank = input.rfind(' '); blank != std::string_view::npos) {
        head = input.substr(0, blank);
        word = input.substr(blank + 1);
    }

    std::vector<std::string_view> candidates;
    if (!head) {
        candidates.assign(std::begin(PROMPT_COMMANDS), std::end(PROMPT_COMMANDS));
    } else {
        const auto head_words = words_of(*head);
        const std::string_view command = head_words.empty() ? std::string_view() : head_words.front();
        const bool names = command == "swap-window" ||
                           ((command == "send" || command == "rename") && head_words.size() == 1);
        if (names) candidates.assign(window_names.begin(), window_names.end());
    }
    std::erase_if(candidates, [&](std::string_view c) { return !c.starts_with(word); });

    const std::string before = head ? std::string(*head) + " " : std::string();
    if (candidates.empty()) return {std::string(input), std::nullopt};
    if (candidates.size() == 1) return {before + std::string(candidates.front()) + " ", std::nullopt};
    std::string hint;
    for (std::string_view c : candidates) hint += (hint.empty() ? "" : "  ") + std::string(c);
    return {before + std::string(common_prefix(candidates)), hint};
}

}  // namespace ruk
