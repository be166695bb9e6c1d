// The per-user directories and the files in them, the socket path and the
// PATH lookup. The runtime directory holds the socket, so it must be ours
// alone: one that another user owns or could write into is refused, never
// repaired.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "util/result.h"

namespace ruk {

// XDG_CONFIG_HOME, else APPDATA, else $HOME/.config; joined with "ruk". Not created.
std::string config_dir();

// XDG_RUNTIME_DIR or LOCALAPPDATA joined with "ruk", else ${TMPDIR:-/tmp}/ruk-UID;
// created (mode 0700) when missing and checked to be a private directory of ours.
Result<std::string> runtime_dir();

// runtime_dir joined with "default.sock"; refused at 108 bytes or more.
Result<std::string> socket_path();
Result<std::string> lock_path();
Result<std::string> log_path();

// The first regular file of that name in the PATH directories.
std::optional<std::string> find_on_path(std::string_view name);

// Joins with one "/" (an empty base gives the name alone).
std::string join_path(std::string_view base, std::string_view name);

}  // namespace ruk
