// How a query picks windows: every word of it must occur, in any order, in
// one of the entry's fields (name, hosts, agent kind, project, branch), all
// compared in lower case. A lower score is a better match; "name@host"
// narrows a word to the machine.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "picker/entries.h"

namespace ruk {

// The entry's score for the query, nothing when it does not match. Per word:
// 0 the whole name, 1 the start of the name, 2 the start of a field or of a
// word in it, 3 inside a word; the entry's score is the sum.
std::optional<unsigned> match_entry(const SwitcherEntry& entry, std::string_view query);

// The indices of the matching entries, in list order.
std::vector<size_t> matching(const std::vector<SwitcherEntry>& entries, std::string_view query);

// The position in `matching` of the entry to select: the lowest score, then
// any window before the viewed one, then the lowest rank, then list order.
// 0 when nothing matches.
size_t best_match(const std::vector<SwitcherEntry>& entries, std::string_view query);

// Which characters of `text` to underline: for each word of the query (split
// at blanks and at "@"), its first occurrence in the lower-cased text. One
// flag per character; all false when nothing matches.
std::vector<bool> matched_characters(std::string_view text, std::string_view query);

// Lower case, character by character (invalid bytes become U+FFFD).
std::string fold_case(std::string_view text);

}  // namespace ruk
