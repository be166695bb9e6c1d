#include "server/status.h"

#include "server/server.h"

namespace ruk {

void set_status_message(Server& server, std::string text) {
    server.status_message = StatusMessage{std::move(text), server.tick + STATUS_MESSAGE_TICKS};
}

const std::string* current_status_message(const Server& server) {
    if (!server.status_message || server.tick >= server.status_message->expires) return nullptr;
    return &server.status_message->text;
}

void expire_status_message(Server& server) {
    if (server.status_message && server.tick >= server.status_message->expires) server.status_message.reset();
}

}  // namespace ruk
