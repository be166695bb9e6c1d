// One-shot commands: the command line goes to the running server as one
// Command, its one Reply is printed, and the exit status says how it went.
#pragma once

#include <string>
#include <vector>

#include "util/result.h"

namespace ruk {

enum class Outcome { Success, Failure };

// Prints the reply itself; an error is for the entry point to print.
Result<Outcome> run_server_command(std::vector<std::string> args);

}  // namespace ruk
