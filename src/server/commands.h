// The commands that the server carries out for the command line and the
// prompt. The context is the window the command runs in, when known.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "server/server.h"
#include "update/upgrade.h"

namespace ruk {

ReplyText run_command(Server& server, const std::vector<std::string>& args, std::optional<View> context);

// Rows of cells as the command line prints them: each column as wide as its
// widest cell in display columns, two blanks between columns, no trailing
// blanks, lines joined with "\n".
std::string format_table(const std::vector<std::vector<std::string>>& rows);

}  // namespace ruk
