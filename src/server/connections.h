// The threads that listen for and read connections, and the tick thread.
// They only turn what they read into events; the loop answers.
#pragma once

#include <string>

#include "server/events.h"
#include "util/fd.h"

namespace ruk {

// Accepts connections until the listener is shut down, numbering them 1, 2,
// 3 ... and starting a reader for each. A connection from another user is
// closed at once: the socket is the door to every shell of this user.
void start_accept_thread(Fd listener, EventSender events);

// A Tick every 500 ms until the loop is gone.
void start_tick_thread(EventSender events);

// Writes a Reply straight to a command connection and closes it. A client
// that does not read never holds up the loop: what does not fit at once is
// finished by a short-lived thread.
void answer_and_close(Fd stream, bool ok, const std::string& text);

}  // namespace ruk
