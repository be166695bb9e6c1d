#include "server/command_line.h"

namespace ruk {

// FIXME: no completion yet; the input stays as it is.
Completion complete_command_line(std::string_view input, const std::vector<std::string>&) {
    return {std::string(input), std::nullopt};
}

}  // namespace ruk
