// Handlers of the connection events: attaching, input, size, commands,
// disconnection and stopping.
#include "server/handlers.h"

#include <sys/socket.h>

#include "server/commands.h"
#include "server/compose.h"
#include "server/remote_links.h"
#include "server/remote_view.h"
#include "server/connections.h"
#include "server/keys.h"
#include "server/layout.h"
#include "server/lifecycle.h"
#include "server/local_windows.h"
#include "server/new_agent.h"
#include "server/peers.h"
#include "server/registry.h"
#include "server/server.h"
#include "server/status.h"
#include "server/tick.h"
#include "server/view.h"
#include "server/window.h"
#include "sys/sys.h"
#include "texts.h"
#include "util/log.h"
#include "server/alerts.h"
#include "update/upgrade.h"

namespace ruk {

namespace {

using namespace protocol;

constexpr std::string_view FOCUS_OFF = "\x1b[?1004l";

void queue_to_client(Server& server, const ServerMessage& message) {
    if (server.client) server.client->queue->send(encode_server_message(message));
}

// The window the calling process runs in: the window whose shell is that
// process or one of its ancestors.
std::optional<View> caller_window(Server& server, std::optional<pid_t> pid) {
    if (!pid) return std::nullopt;
    pid_t current = *pid;
    for (int depth = 0; current >= 1 && depth < 4096; ++depth) {
        for (const auto& window : server.windows) {
            if (window->pid() == current) return View{0, window->id};
        }
        auto parent = sys::process_parent(current);
        if (!parent) break;
        current = *parent;
    }
    return std::nullopt;
}

}  // namespace

void apply_client_size(Server& server, uint16_t rows, uint16_t cols) {
    if (rows < 3) rows = 2;
    if (rows > 1000) rows = 1000;
    if (cols == 0) cols = 1;
    if (cols > 1000) cols = 1000;
    server.size = {rows, cols};
    if (server.view && server.view->machine == 0) {
        if (Window* window = find_window(server, server.view->window)) {
            const auto pane = pane_size(server.size);
            resize_window(server, *window, pane.rows, pane.cols);
        }
    }
    forget_previous_frame(server);
}

void detach_client(Server& server, std::string_view reason) {
    queue_to_client(server, server::Output{Bytes(FOCUS_OFF.begin(), FOCUS_OFF.end())});
    queue_to_client(server, server::Detach{std::string(reason)});
    server.client.reset();  // the writer sends what is queued, then lets go of the socket
}

bool nothing_left(const Server& server) {
    if (!server.windows.empty() || has_peers(server)) return false;
    for (const auto& machine : server.machines)
        if (!machine.windows.empty()) return false;
    return true;
}

Flow on_event(Server& server, event::Attach&& e) {
    auto writer = sys::duplicate(e.stream.get());
    if (!writer) return Flow::Continue;
    if (server.client) detach_client(server, "detached (attached elsewhere)");
    server.client.emplace();
    server.client->conn = e.conn;
    server.client->queue = std::make_unique<OutboundQueue>(std::move(*writer));
    server.focused = true;
    apply_client_size(server, e.rows, e.cols);
    if (!server.hosts_loaded) {
        server.hosts_loaded = true;
        connect_saved_hosts(server);
    }
    if (!server.view) {
        if (server.windows.empty()) {
            const auto pane = pane_size(server.size);
            if (auto id = new_shell_window(server, pane.rows, pane.cols, std::nullopt)) switch_view(server, 0, *id);
        } else {
            switch_view(server, 0, server.windows.front()->id);
        }
    }
    return Flow::Continue;
}

Flow on_event(Server& server, event::Input&& e) {
    if (server.client && server.client->conn == e.conn) {
        server.last_client_input = std::chrono::steady_clock::now();
        handle_input(server, e.bytes);
    }
    return Flow::Continue;
}

Flow on_event(Server& server, event::Resize&& e) {
    if (server.client && server.client->conn == e.conn) apply_client_size(server, e.rows, e.cols);
    return Flow::Continue;
}

Flow on_event(Server& server, event::Disconnected&& e) {
    const bool was_client = server.client && server.client->conn == e.conn;
    if (was_client) server.client.reset();
    const bool was_peer = peer_disconnected(server, e.conn);
    // Only a viewer leaving (here or on another machine) can leave the
    // server with nothing to show. A command or an upgrade offer that closes
    // before the first client has attached must not stop a server that is
    // just starting.
    if (!was_client && !was_peer) return Flow::Continue;
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
    if (!e.args.empty() && e.args[0] == "new") {
        run_new_command(server, std::span(e.args).subspan(1), e.client_pid, std::move(e.stream));
        return Flow::Continue;
    }
    if (!e.args.empty() && e.args[0] == "__upgrade") {
        const auto answer = answer_upgrade(e.args);
        answer_and_close(std::move(e.stream), answer.ok, answer.text);
        return Flow::Continue;
    }
    const auto answer = run_command(server, e.args, caller_window(server, e.client_pid));
    answer_and_close(std::move(e.stream), answer.ok, answer.text);
    return Flow::Continue;
}

Flow on_event(Server& server, event::WindowOutput&& e) {
    feed_output(server, e.window, std::move(e.bytes));
    return Flow::Continue;
}

Flow on_event(Server& server, event::WindowExited&& e) {
    const size_t before = server.windows.size();
    window_exited(server, e.window);
    if (server.windows.size() != before && nothing_left(server)) {
        shutdown_server(server, "exited");
        return Flow::Stop;
    }
    return Flow::Continue;
}

Flow on_event(Server& server, event::Tick&&) {
    run_tick(server);
    return Flow::Continue;
}

Flow on_event(Server& server, event::PeerHello&& e) {
    handle_peer_hello(server, std::move(e));
    return Flow::Continue;
}

Flow on_event(Server& server, event::PeerRequestEvent&& e) {
    handle_peer_request(server, std::move(e));
    return Flow::Continue;
}

Flow on_event(Server& server, event::PeerInput&& e) {
    handle_peer_input(server, std::move(e));
    return Flow::Continue;
}

Flow on_event(Server& server, event::RemoteMessage&& e) {
    handle_remote_message(server, e.link, e.machine, std::move(e.message));
    return Flow::Continue;
}

Flow on_event(Server& server, event::RemoteClosed&& e) {
    handle_remote_closed(server, e.link, e.machine);
    return Flow::Continue;
}
Flow on_event(Server& server, event::UpdateChecked&& e) {
    if (!e.release) {
        log_line("update check: " + e.error);
        return Flow::Continue;
    }
    if (e.release->build <= BUILD_NUMBER) {
        server.available_release.reset();
        server.available_release_line.reset();
        return Flow::Continue;
    }
    server.available_release = e.release->version;
    server.available_release_line = e.release->line;
    if (server.announced_build != e.release->build) {
        server.announced_build = e.release->build;
        notify_user(server, "ruk " + e.release->version + " is available", "run `ruk update` to install it");
    }
    return Flow::Continue;
}

void after_batch(Server& server) {
    drop_dead_peers(server);
    update_remote_views(server);
    if (!server.client) return;
    if (!server.client->queue->dead()) {
        if (auto frame = render_client(server)) server.client->queue->send(encode_server_message(server::Output{std::move(*frame)}));
    }
    if (server.client->queue->dead()) {
        server.client->queue->shutdown();
        server.client.reset();
    }
}

}  // namespace ruk
