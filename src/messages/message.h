// A message waiting in a window's queue until its agent can take it.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace ruk {

struct QueuedMessage {
    std::string text;                   // normalised, 1 to 65536 bytes
    std::optional<std::string> sender;  // the sending window's label; none from outside
    std::chrono::steady_clock::time_point queued_at;
};

}  // namespace ruk
