// Serving this server's windows to other servers that view them: the
// welcome, the window list, the output of the window each peer views, and
// the requests a peer may make (view, new window, rename, move). A peer
// connection reaches us through `ruk bridge` on this machine.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "protocol/peer.h"
#include "server/events.h"

namespace ruk {

struct Server;
struct Window;
struct PeerConnection;

// The description of a local window that peers receive.
protocol::WindowInfo window_info(Window& window);

// Sends the local window list to every peer whose copy is out of date.
void publish_windows(Server& server);

// Queues a full picture of the window for the peer (nothing when it is gone).
void send_full_screen(Server& server, PeerConnection& peer, WindowId id);

// Passes a window's raw output on to every peer that views it.
void forward_output_to_peers(Server& server, WindowId id, std::span<const uint8_t> bytes);
// Every peer that views the window gets a full screen of it (after a resize).
void refresh_peers_viewing(Server& server, WindowId id);
// True when some peer server is connected to this one.
bool has_peers(const Server& server);

// The events of a peer connection.
void handle_peer_hello(Server& server, event::PeerHello&& e);
void handle_peer_request(Server& server, event::PeerRequestEvent&& e);
void handle_peer_input(Server& server, event::PeerInput&& e);
// Forgets the connection if it was a peer; true when it was one.
bool peer_disconnected(Server& server, ConnId conn);

// The serving side of the requests that change windows; answers go on the
// requesting peer's queue only.
void handle_new_window(Server& server, PeerConnection& peer, const protocol::peer_request::NewWindow& request);
void handle_rename(Server& server, PeerConnection& peer, const protocol::peer_request::Rename& request);
void handle_move_window(Server& server, PeerConnection& peer, const protocol::peer_request::MoveWindow& request);

// After each batch: peers whose queue died are shut down and forgotten.
void drop_dead_peers(Server& server);
// The server stops: every peer is told why.
void detach_peers(Server& server, std::string_view reason);

}  // namespace ruk
