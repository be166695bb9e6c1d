// The machines that `ruk connect` remembers, one per line of the "hosts" file
// in the config directory, and `hosts`, `connect` and `disconnect` while no
// server runs (they then edit the file directly).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "util/result.h"

namespace ruk {

struct HostEntry {
    std::string host;             // an ssh destination
    std::string command = "ruk";  // how to run ruk there
    bool operator==(const HostEntry&) const = default;
};

// The entries of a file's text; comments, empty lines and lines whose host
// is no valid destination are left out.
std::vector<HostEntry> parse_hosts(std::string_view text);
// The text this program writes: a header comment, then one line per entry.
std::string format_hosts(const std::vector<HostEntry>& entries);

// The remote command of `connect HOST WORDS...`: the words joined with one
// blank, "ruk" when there are none (or only blanks). A line break would split
// the saved line in two (the second read as another host), so control
// characters are refused.
Result<std::string> remote_command(const std::vector<std::string>& words);

std::string hosts_path();
// Missing, unreadable or not UTF-8: no entries, silently.
std::vector<HostEntry> read_hosts();
// Replaces the whole file (creating its directory) with exactly these entries.
Result<void> write_hosts(const std::vector<HostEntry>& entries);

// `hosts`, `connect HOST [COMMAND...]` or `disconnect HOST` on the file; the
// success text, or the failure ("no server running" for any other shape).
Result<std::string> offline_hosts_command(const std::vector<std::string>& words);

}  // namespace ruk
