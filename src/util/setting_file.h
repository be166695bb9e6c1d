// The one-word setting files under the configuration directory ("notify",
// "update"): no file means on, a file that says "off" means off.
#pragma once

#include <string>

#include "util/result.h"

namespace ruk {

// True when the file exists and holds "off", white space around it allowed.
// A file that cannot be read counts as on.
bool setting_is_off(const std::string& path);

// On removes the file; off writes "off" into it, creating its directory.
Result<void> write_setting(const std::string& path, bool on);

}  // namespace ruk
