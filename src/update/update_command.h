// `ruk update [check|on|off]` and `ruk version`: the command-line side of
// releases. Both print on standard output; a failure is for the entry point
// to print.
#pragma once

#include <string>
#include <vector>

#include "util/result.h"

namespace ruk {

// The words after "update".
Result<void> run_update_command(const std::vector<std::string>& args);

// Prints this program's version and the running server's; never fails.
void report_versions();

}  // namespace ruk
