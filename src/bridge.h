// `ruk bridge`: what ssh runs on a machine that another ruk shows. It joins
// ssh's standard input and output to this machine's server (starting the
// server when none runs) and copies bytes both ways without looking at them.
#pragma once

namespace ruk {

// Returns only when the server cannot be reached (status 1 after the usual
// error line, which ssh carries back as the reason to show); otherwise the
// process ends with status 0 when either side ends.
int run_bridge();

}  // namespace ruk
