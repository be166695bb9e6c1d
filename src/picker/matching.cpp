// Matching works on lower-cased UTF-8 and finds each word as a plain
// substring; positions are byte positions in the lower-cased text, which stay
// on character boundaries because both sides are valid UTF-8.
#include "picker/matching.h"

#include <utf8proc.h>

#include <algorithm>
#include <tuple>

#include "util/utf8.h"
#include "util/white_space.h"

namespace ruk {

namespace {

// The character that ends just before byte `at` (which is on a boundary).
char32_t char_before(std::string_view text, size_t at) {
    size_t start = at - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    return decode_utf8_at(text, start).cp;
}

// The words of lower-cased text, split at white space (and at "@" when asked).
std::vector<std::string_view> split_words(std::string_view text, bool at_at) {
    std::vector<std::string_view> words;
    size_t start = 0, i = 0;
    while (i < text.size()) {
        const Decoded d = decode_utf8_at(text, i);
        if (is_white_space(d.cp) || (at_at && d.cp == '@')) {
            if (i > start) words.push_back(text.substr(start, i - start));
            start = i + d.length;
        }
        i += d.length;
    }
    if (i > start) words.push_back(text.substr(start, i - start));
    return words;
}

std::optional<unsigned> field_score(std::string_view field, std::string_view word, bool is_name) {
    const size_t p = field.find(word);
    if (p == std::string_view::npos) return std::nullopt;
    if (is_name) {
        if (word == field) return 0;
        if (p == 0) return 1;
    }
    return p > 0 && is_letter_or_digit(char_before(field, p)) ? 3 : 2;
}

void keep_better(std::optional<unsigned>& best, std::optional<unsigned> score) {
    if (score && (!best || *score < *best)) best = score;
}

struct Fields {
    std::string name, host, host_alt;
    std::vector<std::string> others;  // runtime, project, branch

    explicit Fields(const SwitcherEntry& e)
        : name(fold_case(e.name)), host(fold_case(e.host)), host_alt(fold_case(e.host_alt)) {
        if (e.runtime) others.push_back(fold_case(runtime_name(*e.runtime)));
        if (e.project) others.push_back(fold_case(*e.project));
        if (e.branch) others.push_back(fold_case(*e.branch));
    }

    std::optional<unsigned> host_score(std::string_view word) const {
        std::optional<unsigned> best = field_score(host, word, false);
        keep_better(best, field_score(host_alt, word, false));
        return best;
    }

    std::optional<unsigned> word_score(std::string_view word) const {
        std::optional<unsigned> best = field_score(name, word, true);
        keep_better(best, host_score(word));
        for (const auto& f : others) keep_better(best, field_score(f, word, false));
        return best;
    }
};

}  // namespace

std::string fold_case(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const Decoded d = decode_utf8_at(text, i);
        append_utf8(out, static_cast<char32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(d.cp))));
        i += d.length;
    }
    return out;
}

std::optional<unsigned> match_entry(const SwitcherEntry& entry, std::string_view query) {
    const std::string lowered = fold_case(query);
    const auto words = split_words(lowered, false);
    if (words.empty()) return 0u;
    const Fields fields(entry);
    unsigned total = 0;
    for (std::string_view word : words) {
        const size_t at = word.find('@');
        if (at != std::string_view::npos) {
            // "name@host": the host part must be in one of the machine's names.
            const auto host = fields.host_score(word.substr(at + 1));
            if (!host) return std::nullopt;
            total += *host;
            word = word.substr(0, at);
            if (word.empty()) continue;
        }
        const auto score = fields.word_score(word);
        if (!score) return std::nullopt;
        total += *score;
    }
    return total;
}

std::vector<size_t> matching(const std::vector<SwitcherEntry>& entries, std::string_view query) {
    std::vector<size_t> out;
    for (size_t i = 0; i < entries.size(); ++i)
        if (match_entry(entries[i], query)) out.push_back(i);
    return out;
}

size_t best_match(const std::vector<SwitcherEntry>& entries, std::string_view query) {
    std::optional<std::tuple<unsigned, bool, size_t, size_t>> best;
    size_t best_position = 0, position = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto score = match_entry(entries[i], query);
        if (!score) continue;
        const bool viewed = entries[i].rank == 0 && !entries[i].is_machine();
        const auto key = std::make_tuple(*score, viewed, entries[i].rank, i);
        if (!best || key < *best) {
            best = key;
            best_position = position;
        }
        ++position;
    }
    return best_position;
}

std::vector<bool> matched_characters(std::string_view text, std::string_view query) {
    // The lower-cased text with the byte offset of each character in it.
    std::string lowered;
    std::vector<size_t> offsets;
    for (size_t i = 0; i < text.size();) {
        const Decoded d = decode_utf8_at(text, i);
        offsets.push_back(lowered.size());
        append_utf8(lowered, static_cast<char32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(d.cp))));
        i += d.length;
    }
    std::vector<bool> marks(offsets.size(), false);
    const std::string folded_query = fold_case(query);
    for (std::string_view word : split_words(folded_query, true)) {
        const size_t p = lowered.find(word);
        if (p == std::string::npos) continue;
        for (size_t c = 0; c < offsets.size(); ++c)
            if (offsets[c] >= p && offsets[c] < p + word.size()) marks[c] = true;
    }
    return marks;
}

}  // namespace ruk
