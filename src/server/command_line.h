// Tab completion of the command prompt: command words, then window names.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ruk {

struct Completion {
    std::string input;                // the new input
    std::optional<std::string> hint;  // the choices, when there are several
};

// Completes the last word of `input` from the prompt's commands or from
// `window_names` (plain on the viewed machine, NAME@MACHINE elsewhere).
Completion complete_command_line(std::string_view input, const std::vector<std::string>& window_names);

}  // namespace ruk
