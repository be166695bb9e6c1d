// The ssh links to other machines.
#pragma once

namespace ruk {

struct Server;

// Starts a link to every machine of the hosts file.
void connect_saved_hosts(Server& server);

}  // namespace ruk
