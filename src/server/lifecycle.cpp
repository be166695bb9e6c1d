// From `ruk __server` to the event loop and back, and the client side of
// finding, starting and stopping the server.
#include "server/lifecycle.h"

#include <unistd.h>

#include <cstdio>

#include "notify/notify.h"
#include "paths.h"
#include "protocol/messages.h"
#include "server/connections.h"
#include "server/event_loop.h"
#include "server/handlers.h"
#include "server/peers.h"
#include "server/remote_links.h"
#include "server/server.h"
#include "server/shell_line.h"
#include "server/update_checks.h"
#include "server/window.h"
#include "sys/sys.h"
#include "update/upgrade.h"

namespace ruk {

namespace {

constexpr auto START_DEADLINE = std::chrono::seconds(5);
constexpr unsigned START_POLL_MS = 20;
constexpr unsigned SHUTDOWN_PAUSE_MS = 100;

std::string make_instance_id() {
    uint8_t bytes[8] = {};
    (void)sys::random_bytes(bytes);
    static constexpr char HEX[] = "0123456789abcdef";
    std::string id;
    for (uint8_t b : bytes) {
        id += HEX[b >> 4];
        id += HEX[b & 15];
    }
    return id;
}

}  // namespace

Result<Fd> connect_or_start() {
    auto self = RUK_TRY(sys::own_executable());
    return connect_or_start(self);
}

Result<Fd> connect_or_start(const std::string& program) {
    offer_own_build();
    const auto path = RUK_TRY(socket_path());
    if (auto conn = sys::connect_unix(path)) return std::move(*conn);

    RUK_TRY(sys::spawn_detached({program, "__server"}));
    const auto deadline = sys::Clock::now() + START_DEADLINE;
    while (true) {
        auto conn = sys::connect_unix(path);
        if (conn) return std::move(*conn);
        if (sys::Clock::now() >= deadline) {
            // Strip the "connect PATH: " context: the path is named once.
            std::string why = conn.error().message;
            if (auto colon = why.rfind(": "); colon != std::string::npos) why = why.substr(colon + 2);
            return fail("could not reach server at " + path + ": " + why, conn.error().code);
        }
        sys::sleep_ms(START_POLL_MS);
    }
}

Result<void> serve(const std::vector<std::string>& args) {
    // "--resume STATE" is the hand-over entry of an upgrade in place; this
    // server never hands over, so it starts like any other.
    (void)args;
    const auto path = RUK_TRY(socket_path());
    if (auto log = log_path()) (void)sys::redirect_stderr(*log);

    auto lock = RUK_TRY(sys::try_lock_file(RUK_TRY(lock_path())));
    if (!lock) return {};  // another server owns this directory: leave quietly

    ::unlink(path.c_str());
    auto listener = RUK_TRY(sys::listen_unix(path));
    const int listener_fd = listener.get();

    auto events = std::make_shared<EventChannel>();
    start_accept_thread(std::move(listener), events);
    start_tick_thread(events);
    start_update_check_thread(events);

    {
        Server server;
        server.socket_path = path;
        server.listener = listener_fd;
        server.shell = choose_shell();
        server.host_name = sys::host_name();
        server.instance = make_instance_id();
        server.notifier = choose_notifier();
        server.events = events;
        run_event_loop(server, *events);
        events->close();
    }
    lock->reset();
    return {};
}

Result<void> kill_server() {
    const auto path = RUK_TRY(socket_path());
    auto conn = sys::connect_unix(path);
    if (!conn) return fail("no server running");
    RUK_TRY(protocol::write_client_message(conn->get(), protocol::client::KillServer{}));
    uint8_t buffer[4096];
    while (true) {
        auto n = sys::read_some(conn->get(), buffer);
        if (!n || *n == 0) break;
    }
    return {};
}

void shutdown_server(Server& server, std::string_view reason) {
    if (server.client) detach_client(server, reason);
    // Servers that view ours keep the reason to show when their link ends.
    detach_peers(server, reason);
    close_all_links(server);
    // No new connections while the server winds down.
    if (server.listener >= 0) sys::shutdown_both(server.listener);
    // Closing a window hangs up its terminal, which ends what runs in it.
    server.windows.clear();
    ::unlink(server.socket_path.c_str());
    // Let the writer threads deliver the Detach frames.
    sys::sleep_ms(SHUTDOWN_PAUSE_MS);
}

}  // namespace ruk
