// The picture of a window on another machine: the copy of its screen that
// this server keeps while the client views it, set up when the view starts
// or the pane changes size, rebuilt from each full screen the machine sends
// and then fed its output as it comes.
#pragma once

#include "protocol/messages.h"

namespace ruk {

struct Server;
struct Machine;
class Screen;

// After each batch: every welcomed machine is told which of its windows the
// client views now (or that it views none), with the pane size, when that
// changed; the screen copy is set up or dropped to match.
void update_remote_views(Server& server);

// A PeerOutput from the machine: a sized one starts a fresh copy, others are
// parsed into the copy it started. Output before the first full screen, or
// for another window, is dropped.
void feed_remote_output(Server& server, Machine& machine, protocol::server::PeerOutput&& output);

// The copy of the viewed window when it is on another machine.
Screen* remote_view_screen(Server& server);

}  // namespace ruk
