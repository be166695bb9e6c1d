// Serving this server's windows to other servers that view them.
#pragma once

namespace ruk {

struct Server;

// Sends the local window list to every peer whose copy is out of date.
void publish_windows(Server& server);

}  // namespace ruk
