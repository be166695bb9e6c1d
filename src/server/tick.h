// The work of every tick (500 ms), in its fixed order, and the passes it
// runs that belong to the agents, alerts, messages and remote machines.
#pragma once

namespace ruk {

struct Server;

void run_tick(Server& server);

// One process snapshot; each local window's agent runtime, state and project.
void refresh_agents(Server& server);
// Agents that newly need input or are newly done; at most one notification.
void alert_pass(Server& server);
// Queued messages typed into agents that are idle and untouched for a while.
void deliver_pending(Server& server);
// Machines whose retry time has come get a new link (remote_links.cpp).
void reconnect_machines(Server& server);
// Requests forwarded to other machines that waited too long are answered
// (remote_links.cpp).
void expire_remote_requests(Server& server);

}  // namespace ruk
