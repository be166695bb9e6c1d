// Finding or starting the server, the server process from start to stop, and
// stopping it. One server runs per runtime directory: the lock on
// default.lock is taken before anything else touches the directory.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "util/fd.h"
#include "util/result.h"

namespace ruk {

struct Server;

// Connects to the running server, starting `program __server` when nothing
// answers (the own executable when none is given).
Result<Fd> connect_or_start();
Result<Fd> connect_or_start(const std::string& program);

// `ruk __server [ARGS]`: returns when the server stops.
Result<void> serve(const std::vector<std::string>& args);

// `ruk kill-server`: asks the server to stop and waits until it has.
Result<void> kill_server();

// Detaches the client and the peers with the reason, closes every window
// and link, removes the socket file. The loop ends after it.
void shutdown_server(Server& server, std::string_view reason);

}  // namespace ruk
