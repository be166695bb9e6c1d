// The commands that the server carries out for the command line and the
// prompt. The context is the window the command runs in, when known.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "server/server.h"
#include "update/upgrade.h"

namespace ruk {

ReplyText run_command(Server& server, const std::vector<std::string>& args, std::optional<View> context);

}  // namespace ruk
