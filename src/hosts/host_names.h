// What counts as an ssh destination, and the short name under which a
// machine is shown and addressed.
#pragma once

#include <string>
#include <string_view>

#include "util/result.h"

namespace ruk {

// The host without any user part, cut at the first "." unless it is an
// address: "me@build-7.example.com" is "build-7"; "10.0.0.5" and "[fe80::1]"
// stay whole.
std::string short_host_name(std::string_view host);

// Refuses anything ssh could read as an option or that needs quoting: the
// text is handed to ssh as one argument.
Result<void> valid_ssh_destination(std::string_view text);

}  // namespace ruk
