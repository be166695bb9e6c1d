#include "server/alerts.h"

#include "notify/notify.h"
#include "server/server.h"

namespace ruk {

void notify_user(Server& server, const std::string& title, const std::string& body) {
    if (notifications_enabled()) send_notification(server, title, body);
}

}  // namespace ruk
