#include "location/location.h"

namespace ruk {

// FIXME: projects are not located yet; every directory is outside one.
std::optional<protocol::Location> project_location(std::string_view) { return std::nullopt; }

std::string project_name(std::string_view root) {
    while (root.size() > 1 && root.back() == '/') root.remove_suffix(1);
    const auto slash = root.rfind('/');
    return std::string(slash == std::string_view::npos ? root : root.substr(slash + 1));
}

}  // namespace ruk
