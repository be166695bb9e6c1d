// The server's own release checks: one at once, then one every six hours
// while the update setting allows it. The checks only fetch and report; what
// the server makes of a result is its own business.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "update/manifest.h"
#include "util/result.h"

namespace ruk {

inline constexpr std::chrono::seconds UPDATE_CHECK_PERIOD{21600};

// Hands over one result; false when nobody listens any more.
using CheckReport = std::function<bool(Result<Manifest>)>;
// Waits until the next check is due; false ends the checks.
using CheckPause = std::function<bool()>;

// Checks the address until a report or a pause says to stop. The setting is
// read afresh before every check, so turning it off stops the network access
// from the next check on.
void run_release_checks(const std::string& address, const CheckReport& report, const CheckPause& pause);

// The same on a thread of its own that sleeps UPDATE_CHECK_PERIOD between
// checks. It is never joined: it ends with a failed report or the process.
void start_release_checks(std::string address, CheckReport report);

}  // namespace ruk
