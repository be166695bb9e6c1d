// The ssh links to other machines.
#pragma once

#include <string>

#include "util/result.h"

namespace ruk {

struct Server;

// Starts a link to every machine of the hosts file.
void connect_saved_hosts(Server& server);

// `connect HOST [COMMAND]`: saves the machine and starts its link; the text
// says what happened.
Result<std::string> connect_machine(Server& server, std::string host, std::string command);

// `disconnect HOST`: ends the machine's link and forgets it.
Result<std::string> disconnect_machine(Server& server, std::string host);

}  // namespace ruk
