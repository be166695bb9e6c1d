// The server's release-check thread, started with the server when there is
// an update source. Its results reach the loop as UpdateChecked events.
#pragma once

#include "server/events.h"
#include "update/manifest.h"

namespace ruk {

// Does nothing when there is no update source.
void start_update_check_thread(EventSender events);

// The event for one check's result: the release with its texts made safe to
// show, or the failure's text.
event::UpdateChecked update_checked_event(const Result<Manifest>& result);

}  // namespace ruk
