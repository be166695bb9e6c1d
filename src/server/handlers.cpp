// Handlers of the connection events: attaching, input, size, commands,
// disconnection and stopping.
#include "server/handlers.h"

#include <sys/socket.h>

#include "server/commands.h"
#include "server/connections.h"
#include "server/lifecycle.h"
#include "server/server.h"
#include "server/window.h"
#include "sys/sys.h"
#include "update/upgrade.h"

namespace ruk {

namespace {

using namespace protocol;

constexpr std::string_view FOCUS_OFF = "\x1b[?1004l";

void queue_to_client(Server& server, const ServerMessage& message) {
    if (server.client) server.client->queue->send(encode_server_message(message));
}

void apply_client_size(Server& server, uint16_t rows, uint16_t cols) {
    if (rows < 3) rows = 2;
    if (rows > 1000) rows = 1000;
    if (cols == 0) cols = 1;
    if (cols > 1000) cols = 1000;
    server.size = {rows, cols};
}

}  // namespace

void detach_client(Server& server, std::string_view reason) {
    queue_to_client(server, server::Output{Bytes(FOCUS_OFF.begin(), FOCUS_OFF.end())});
    queue_to_client(server, server::Detach{std::string(reason)});
    server.client.reset();  // the writer sends what is queued, then lets go of the socket
}

bool nothing_left(const Server& server) { return server.windows.empty(); }

Flow on_event(Server& server, event::Attach&& e) {
    auto writer = sys::duplicate(e.stream.get());
    if (!writer) return Flow::Continue;
    if (server.client) detach_client(server, "detached (attached elsewhere)");
    server.client = Client{e.conn, std::make_unique<OutboundQueue>(std::move(*writer))};
    server.focused = true;
    apply_client_size(server, e.rows, e.cols);
    return Flow::Continue;
}

Flow on_event(Server&, event::Input&&) { return Flow::Continue; }

Flow on_event(Server& server, event::Resize&& e) {
    if (server.client && server.client->conn == e.conn) apply_client_size(server, e.rows, e.cols);
    return Flow::Continue;
}

Flow on_event(Server& server, event::Disconnected&& e) {
    const bool was_client = server.client && server.client->conn == e.conn;
    if (was_client) server.client.reset();
    // Only a viewer leaving can leave the server with nothing to show. A
    // command or an upgrade offer that closes before the first client has
    // attached must not stop a server that is just starting.
    if (!was_client) return Flow::Continue;
    if (nothing_left(server)) {
        shutdown_server(server, "exited");
        return Flow::Stop;
    }
    return Flow::Continue;
}

Flow on_event(Server& server, event::KillServer&& e) {
    shutdown_server(server, "server killed");
    e.stream.reset();
    return Flow::Stop;
}

Flow on_event(Server& server, event::Command&& e) {
    if (!e.args.empty() && e.args[0] == "__upgrade") {
        const auto answer = answer_upgrade(e.args);
        answer_and_close(std::move(e.stream), answer.ok, answer.text);
        return Flow::Continue;
    }
    const auto answer = run_command(server, e.args, std::nullopt);
    answer_and_close(std::move(e.stream), answer.ok, answer.text);
    return Flow::Continue;
}

Flow on_event(Server&, event::WindowOutput&&) { return Flow::Continue; }
Flow on_event(Server&, event::WindowExited&&) { return Flow::Continue; }

Flow on_event(Server& server, event::Tick&&) {
    ++server.tick;
    return Flow::Continue;
}

Flow on_event(Server&, event::PeerHello&&) { return Flow::Continue; }
Flow on_event(Server&, event::PeerRequestEvent&&) { return Flow::Continue; }
Flow on_event(Server&, event::PeerInput&&) { return Flow::Continue; }
Flow on_event(Server&, event::RemoteMessage&&) { return Flow::Continue; }
Flow on_event(Server&, event::RemoteClosed&&) { return Flow::Continue; }
Flow on_event(Server&, event::UpdateChecked&&) { return Flow::Continue; }

void after_batch(Server& server) {
    if (server.client && server.client->queue->dead()) {
        server.client->queue->shutdown();
        server.client.reset();
    }
}

}  // namespace ruk
