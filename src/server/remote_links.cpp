#include "server/remote_links.h"

#include "server/server.h"

namespace ruk {

// FIXME: other machines are not reached yet.
void connect_saved_hosts(Server&) {}

// FIXME: other machines are not reached yet.
Result<std::string> connect_machine(Server&, std::string, std::string) {
    return fail("'connect' is not available in this build");
}

// FIXME: other machines are not reached yet.
Result<std::string> disconnect_machine(Server&, std::string) {
    return fail("'disconnect' is not available in this build");
}

}  // namespace ruk
