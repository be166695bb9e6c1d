// Telling the user: which agents newly need the user's attention, and the
// desktop notification about them, when notifications are enabled.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ui/sidebar.h"

namespace ruk {

struct Server;

// Two notifications about one agent are at least this far apart (ten seconds).
inline constexpr uint64_t ALERT_REPEAT_TICKS = 20;

// One desktop notification through the server's notifier, if notifications are on.
void notify_user(Server& server, const std::string& title, const std::string& body);

struct Notification {
    std::string title, body;
    bool operator==(const Notification&) const = default;
};

// The alert step without showing anything: the agents (in sidebar order) that
// newly need input or are newly done, minus the one the focused client looks
// at and those alerted about less than ten seconds ago, as one notification.
// Updates the server's alert bookkeeping; forgets agents that are gone.
std::optional<Notification> collect_alerts(Server& server, const std::vector<SidebarAgent>& agents);

}  // namespace ruk
