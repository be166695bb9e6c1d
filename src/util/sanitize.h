// The display filter for every text that comes from outside (process names,
// project names, branches, other machines' window names): bidirectional
// controls are dropped so a name cannot reorder what follows it, and control
// characters become "?" so a name cannot move the cursor.
#pragma once

#include <string>
#include <string_view>

namespace ruk {

std::string sanitize_text(std::string_view text);

}  // namespace ruk
