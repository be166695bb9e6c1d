// What the loop does with each event. Each handler says whether the loop goes on.
#pragma once

#include "server/event_loop.h"
#include "server/events.h"

namespace ruk {

struct Server;

Flow on_event(Server& server, event::Attach&& e);
Flow on_event(Server& server, event::Input&& e);
Flow on_event(Server& server, event::Resize&& e);
Flow on_event(Server& server, event::Disconnected&& e);
Flow on_event(Server& server, event::KillServer&& e);
Flow on_event(Server& server, event::Command&& e);
Flow on_event(Server& server, event::WindowOutput&& e);
Flow on_event(Server& server, event::WindowExited&& e);
Flow on_event(Server& server, event::Tick&& e);
Flow on_event(Server& server, event::PeerHello&& e);
Flow on_event(Server& server, event::PeerRequestEvent&& e);
Flow on_event(Server& server, event::PeerInput&& e);
Flow on_event(Server& server, event::RemoteMessage&& e);
Flow on_event(Server& server, event::RemoteClosed&& e);
Flow on_event(Server& server, event::UpdateChecked&& e);

// The steps after each batch: dead connections, remote views, the client's frame.
void after_batch(Server& server);

// Sends the attached client a Detach (after turning focus reports off) and drops it.
void detach_client(Server& server, std::string_view reason);

// Stores the client's terminal size (clamped) and sizes the viewed window's pane to it.
void apply_client_size(Server& server, uint16_t rows, uint16_t cols);

// True when nothing is left to show: no local window, no peer, no machine with windows.
bool nothing_left(const Server& server);

}  // namespace ruk
