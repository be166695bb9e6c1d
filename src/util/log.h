// The server has no log levels and no timestamps: its standard error is the
// append-only server.log, and what it reports there are single lines that
// start with "ruk: ".
#pragma once

#include <string_view>

namespace ruk {

void log_line(std::string_view text);  // writes "ruk: {text}\n" to standard error in one write

}  // namespace ruk
