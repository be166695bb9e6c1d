// A local window: one program in a pseudo terminal.
#pragma once

#include <optional>
#include <string>

#include "server/events.h"

namespace ruk {

struct Window {
    WindowId id = 0;
    uint32_t number = 0;
    std::optional<std::string> name;
    bool name_is_default = false;
    bool started_as_agent = false;
};

}  // namespace ruk
