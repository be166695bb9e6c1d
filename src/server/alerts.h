// Telling the user: desktop notifications, when they are enabled.
#pragma once

#include <string>

namespace ruk {

struct Server;

// One desktop notification through the server's notifier, if notifications are on.
void notify_user(Server& server, const std::string& title, const std::string& body);

}  // namespace ruk
