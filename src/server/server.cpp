#include "server/server.h"

#include "server/window.h"

namespace ruk {

Server::Server() = default;
Server::~Server() = default;

}  // namespace ruk
