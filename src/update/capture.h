// Running a helper program to its end and keeping what it printed: curl for
// every download, and a downloaded ruk asked for its build. Nothing is given
// on standard input.
#pragma once

#include <string>
#include <vector>

#include "util/result.h"

namespace ruk {

struct Captured {
    bool success = false;  // exited with status 0
    std::string out, err;  // err stays empty unless it was asked for
};

enum class ErrorOutput { Capture, Discard };

// Starts argv (argv[0] looked up on PATH) and reads its output until it ends.
// A program that cannot be started is an error whose code is the system's.
Result<Captured> run_captured(const std::vector<std::string>& argv, ErrorOutput err);

}  // namespace ruk
