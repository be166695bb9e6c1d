#include "server/update_checks.h"

#include "update/check_thread.h"
#include "update/setting.h"
#include "util/sanitize.h"

namespace ruk {

event::UpdateChecked update_checked_event(const Result<Manifest>& result) {
    if (!result) return {std::nullopt, result.error().message};
    return {event::Release{sanitize_text(result->version), result->build, release_line(*result)}, ""};
}

void start_update_check_thread(EventSender events) {
    auto address = update_source();
    if (!address) return;
    start_release_checks(std::move(*address), [events = std::move(events)](Result<Manifest> result) {
        return events->send(update_checked_event(result));
    });
}

}  // namespace ruk
