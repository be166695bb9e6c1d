// The serving side of the peer protocol. Everything runs on the event loop
// and leaves through each peer's own queue, so a slow peer only ever costs
// memory up to its queue's cap, never time.
//
// The window list is encoded once per publication and compared as text with
// what each peer last got: a quiet server sends nothing on its ticks. A
// window takes the size of whoever viewed or typed into it last, here or on
// another machine; every peer that views it then gets a full picture again.
#include "server/peers.h"

#include <sys/socket.h>

#include <chrono>

#include "messages/queue.h"
#include "protocol/frame.h"
#include "protocol/messages.h"
#include "protocol/peer_json.h"
#include "server/local_windows.h"
#include "server/registry.h"
#include "server/server.h"
#include "server/window.h"
#include "sys/sys.h"
#include "texts.h"
#include "util/overload.h"

namespace ruk {

namespace {

using namespace protocol;

std::string_view kind_word(Runtime runtime) { return runtime == Runtime::Other ? "other" : runtime_name(runtime); }

std::string_view state_word(AgentState state) {
    switch (state) {
    case AgentState::Working: return "working";
    case AgentState::NeedsInput: return "needs_input";
    case AgentState::Idle: break;
    }
    return "idle";
}

PeerConnection* find_peer(Server& server, ConnId conn) {
    for (auto& peer : server.peers)
        if (peer.conn == conn) return &peer;
    return nullptr;
}

void answer(PeerConnection& peer, const PeerEvent& event) {
    peer.queue->send(encode_server_message(server::Peer{event}));
}

peer_event::Welcome welcome_of(const Server& server) {
    return {.version = PROTOCOL_VERSION,
            .instance = server.instance,
            .features = {std::string(FEATURE_NEW_AGENT), std::string(FEATURE_MOVE_WINDOW)},
            .build = BUILD_NUMBER,
            .release = std::string(RELEASE)};
}

// A pane size as a screen can take it; a size the screen would clamp would
// otherwise never match and resize the window on every key.
std::pair<uint16_t, uint16_t> usable_size(uint16_t rows, uint16_t cols) {
    const ScreenSize size = clamp_remote_size(rows, cols);
    return {size.rows, size.cols};
}

bool differs(const Window& window, uint16_t rows, uint16_t cols) {
    return window.screen.rows() != rows || window.screen.cols() != cols;
}

void view_request(Server& server, PeerConnection& peer, const peer_request::View& request) {
    std::tie(peer.rows, peer.cols) = usable_size(request.rows, request.cols);
    Window* window = request.window ? find_window(server, *request.window) : nullptr;
    if (!window) {
        peer.viewed.reset();
        return;
    }
    peer.viewed = window->id;
    if (differs(*window, peer.rows, peer.cols))
        resize_window(server, *window, peer.rows, peer.cols);  // every viewer, this one too, is redrawn
    else
        send_full_screen(server, peer, window->id);
}

}  // namespace

WindowInfo window_info(Window& window) {
    WindowInfo info{.id = window.id,
                    .index = window.number,
                    .name = window.name,
                    .process = process_display_name(window),
                    .agent = std::nullopt};
    if (window.agent) {
        info.agent = AgentInfo{.kind = std::string(kind_word(window.agent->runtime)),
                               .state = std::string(state_word(window.agent->state)),
                               .location = window.agent->location,
                               .queued = window.queue.size(),
                               .overdue = overdue_messages(window) > 0};
    }
    return info;
}

void publish_windows(Server& server) {
    if (server.peers.empty()) return;
    peer_event::Windows list;
    list.windows.reserve(server.windows.size());
    for (const auto& window : server.windows) list.windows.push_back(window_info(*window));
    // A project root straight from the file system may not be valid text.
    // Its broken bytes are replaced: refusing it would hold back the whole
    // list, every window's changes, for as long as that agent runs there.
    auto text = encode_peer_event(list, InvalidText::Replace);
    if (!text) return;
    std::optional<Bytes> frame;
    for (auto& peer : server.peers) {
        if (peer.last_windows == *text) continue;
        if (!frame)
            frame = encode_frame(static_cast<uint8_t>(ServerTag::Peer),
                                 std::span(reinterpret_cast<const uint8_t*>(text->data()), text->size()));
        peer.queue->send(*frame);
        peer.last_windows = *text;
    }
}

void send_full_screen(Server& server, PeerConnection& peer, WindowId id) {
    const Window* window = find_window(server, id);
    if (!window) return;
    const std::string picture = window->screen.peer_redraw();
    const server::Size size{static_cast<uint16_t>(window->screen.rows()), static_cast<uint16_t>(window->screen.cols())};
    peer.queue->send(encode_server_message(server::PeerOutput{id, size, Bytes(picture.begin(), picture.end())}));
}

void forward_output_to_peers(Server& server, WindowId id, std::span<const uint8_t> bytes) {
    std::optional<Bytes> frame;
    for (auto& peer : server.peers) {
        if (peer.viewed != id) continue;
        if (!frame) frame = encode_server_message(server::PeerOutput{id, std::nullopt, Bytes(bytes.begin(), bytes.end())});
        peer.queue->send(*frame);
    }
}

void refresh_peers_viewing(Server& server, WindowId id) {
    for (auto& peer : server.peers)
        if (peer.viewed == id) send_full_screen(server, peer, id);
}

bool has_peers(const Server& server) { return !server.peers.empty(); }

void handle_peer_hello(Server& server, event::PeerHello&& e) {
    const Bytes welcome = encode_server_message(server::Peer{welcome_of(server)});
    if (e.version != PROTOCOL_VERSION) {
        // It is told our version so that it can say what to install, and is
        // then let go. A fresh connection takes a frame this small at once.
        (void)::send(e.stream.get(), welcome.data(), welcome.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        sys::shutdown_both(e.stream.get());
        return;
    }
    if (PeerConnection* known = find_peer(server, e.conn)) {
        known->queue->send(welcome);
        known->last_windows.reset();
    } else {
        PeerConnection peer;
        peer.conn = e.conn;
        peer.queue = std::make_unique<OutboundQueue>(std::move(e.stream));
        peer.queue->send(welcome);
        server.peers.push_back(std::move(peer));
    }
    publish_windows(server);
}

void handle_peer_request(Server& server, event::PeerRequestEvent&& e) {
    // Connections that never said hello are not peers: their requests change nothing.
    PeerConnection* peer = find_peer(server, e.conn);
    if (!peer) return;
    std::visit(Overload{
                   [](const peer_request::Hello&) {},
                   [&](const peer_request::View& r) { view_request(server, *peer, r); },
                   [&](const peer_request::NewWindow& r) { handle_new_window(server, *peer, r); },
                   [&](const peer_request::Rename& r) { handle_rename(server, *peer, r); },
                   [&](const peer_request::MoveWindow& r) { handle_move_window(server, *peer, r); },
               },
               e.request);
}

void handle_peer_input(Server& server, event::PeerInput&& e) {
    PeerConnection* peer = find_peer(server, e.conn);
    if (!peer) return;
    Window* window = find_window(server, e.window);
    if (!window) return;
    if (peer->viewed == e.window && differs(*window, peer->rows, peer->cols))
        resize_window(server, *window, peer->rows, peer->cols);
    window->last_input_at = std::chrono::steady_clock::now();
    if (window->process && !e.bytes.empty()) window->process->write(std::move(e.bytes));
}

bool peer_disconnected(Server& server, ConnId conn) {
    return std::erase_if(server.peers, [&](const PeerConnection& p) { return p.conn == conn; }) > 0;
}

void handle_new_window(Server& server, PeerConnection& peer, const peer_request::NewWindow& request) {
    std::tie(peer.rows, peer.cols) = usable_size(request.rows, request.cols);
    const uint16_t rows = peer.rows, cols = peer.cols;
    // The window list reaches the peer through the publication that comes
    // with the new window; the answer only names it.
    if (!request.agent) {
        std::optional<WindowId> near;
        if (request.near && find_window(server, *request.near)) near = request.near;
        if (auto id = new_shell_window(server, rows, cols, near))
            answer(peer, peer_event::Created{.window = *id, .request = request.request, .name = std::nullopt});
        else
            answer(peer, peer_event::Error{.message = "could not start a shell", .request = request.request});
        return;
    }
    auto started = start_local_agent(server, *request.agent, rows, cols);
    if (started)
        answer(peer, peer_event::Created{.window = started->id, .request = request.request, .name = started->name});
    else
        answer(peer, peer_event::Error{.message = started.error().message, .request = request.request});
}

void handle_rename(Server& server, PeerConnection& peer, const peer_request::Rename& request) {
    auto done = request.name ? rename_local_window(server, request.window, *request.name)
                             : reset_window_name(server, request.window);
    if (!done) answer(peer, peer_event::Error{.message = done.error().message, .request = std::nullopt});
}

void handle_move_window(Server& server, PeerConnection& peer, const peer_request::MoveWindow& request) {
    if (auto done = move_local_window(server, request.window, request.index); !done)
        answer(peer, peer_event::Error{.message = done.error().message, .request = std::nullopt});
}

void drop_dead_peers(Server& server) {
    std::erase_if(server.peers, [](PeerConnection& peer) {
        if (!peer.queue->dead()) return false;
        peer.queue->shutdown();
        return true;
    });
}

void detach_peers(Server& server, std::string_view reason) {
    for (auto& peer : server.peers) peer.queue->send(encode_server_message(server::Detach{std::string(reason)}));
}

}  // namespace ruk
