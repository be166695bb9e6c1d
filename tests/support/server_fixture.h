// Server records for tests that need windows but no processes: a window
// without a process types nothing and is named "?" in the status bar.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "server/registry.h"
#include "server/server.h"
#include "server/window.h"

namespace ruk::test {

inline Window& add_window(Server& server, uint32_t number, std::optional<std::string> name = std::nullopt) {
    auto window = std::make_unique<Window>();
    window->id = server.next_window_id++;
    window->number = number;
    window->name = std::move(name);
    return insert_window(server, std::move(window));
}

}  // namespace ruk::test
