// Where releases are looked for, and the setting that turns the server's own
// release checks on and off.
#pragma once

#include <optional>
#include <string>

#include "util/result.h"

namespace ruk {

// RUK_UPDATE_URL when set and not empty, else the address compiled in; none
// when the build has no default either.
std::optional<std::string> update_source();

// The file "update" in the config directory. The checks are on unless it
// says exactly "off" (white space around it aside); read afresh every time.
std::string update_setting_path();
bool update_checks_enabled();
// Off writes "off\n" (creating the directory); on removes the file.
Result<void> set_update_checks_enabled(bool on);

}  // namespace ruk
