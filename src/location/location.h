// Where an agent works: the project root (the top of its git work tree) and
// the branch checked out there. Read from the repository's own files on every
// tick; git itself is never run.
//
// Directories arrive as the kernel's bytes and are used as such to find and
// read files; only the Location handed out is made valid UTF-8 (the sidebar
// and the peers' JSON need text), and the display filters it further.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "protocol/peer.h"

namespace ruk {

// The project of a directory: the work tree that holds it (a linked work
// tree counts as its main repository), else the directory itself. nullopt
// only for an empty directory text.
std::optional<protocol::Location> project_location(std::string_view dir);

// The branch that the HEAD in a git directory names: without "refs/heads/",
// another ref in full, or the first 7 characters of a detached commit id.
// nullopt when HEAD cannot be read (or names nothing).
std::optional<std::string> read_head(std::string_view git_dir);

// The last path component of a project root (the whole root when it has
// none), filtered for display.
std::string project_name(std::string_view root);

// The path lexically made absolute (from our own directory when relative)
// with ".", ".." and repeated slashes resolved; no trailing slash but "/".
std::string normalize_path(std::string_view path);

}  // namespace ruk
