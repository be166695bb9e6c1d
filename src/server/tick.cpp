#include "server/tick.h"

#include "server/peers.h"
#include "server/registry.h"
#include "server/server.h"
#include "server/status.h"

namespace ruk {

void run_tick(Server& server) {
    ++server.tick;
    refresh_agents(server);
    refresh_default_names(server);
    expire_status_message(server);
    alert_pass(server);
    deliver_pending(server);
    publish_windows(server);
    reconnect_machines(server);
    expire_remote_requests(server);
}

}  // namespace ruk
