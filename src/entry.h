// The entry point: the first argument selects the role (attach client,
// one-shot command, server, bridge) and the exit status.
#pragma once

#include <string>
#include <vector>

namespace ruk {

int run_entry(int argc, char** argv);
int run_entry(const std::vector<std::string>& args);

}  // namespace ruk
