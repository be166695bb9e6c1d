// Where an agent works: the project root (the top of its git work tree) and
// the branch checked out there.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "protocol/peer.h"

namespace ruk {

std::optional<protocol::Location> project_location(std::string_view dir);
// The last path component of a project root.
std::string project_name(std::string_view root);

}  // namespace ruk
