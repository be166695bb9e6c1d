// Desktop notifications: which notifier this machine has, the on/off setting
// kept in the config directory, and showing one.
#pragma once

#include <string>

#include "util/result.h"

namespace ruk {

struct Server;

// The notifier's display name: "Windows notifications", "notify-send",
// "Notification Center" or "the terminal (OSC 777)".
std::string notifier_name(const Server& server);
// Reads the setting file anew on every call; on unless it says "off".
bool notifications_enabled();
Result<void> set_notifications_enabled(bool on);
// Shows one notification through the server's notifier (whatever the setting).
void send_notification(Server& server, const std::string& title, const std::string& body);

}  // namespace ruk
