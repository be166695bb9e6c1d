// The one way ruk talks HTTP: the `curl` program, bounded to 120 seconds,
// following redirects, failing on HTTP errors and calling itself "ruk/0.1.4".
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "util/result.h"

namespace ruk {

// Runs curl with its fixed options, then `extra`; its standard output, or
// the last line of what it printed on standard error.
Result<std::string> run_curl(const std::vector<std::string>& extra);

// The fixed part of every curl command line.
std::vector<std::string> curl_command(const std::vector<std::string>& extra);

// The last line of curl's error output, "curl failed" when it said nothing.
std::string curl_failure(std::string_view err);

}  // namespace ruk
