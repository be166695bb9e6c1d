// The machines this server shows and their ssh links: adding and removing
// machines, starting a link and losing it (with the reason shown and the
// back-off before the next attempt), what the far server sends back, and the
// commands that wait for another machine's answer.
#pragma once

#include <optional>
#include <string>

#include "protocol/messages.h"
#include "protocol/peer.h"
#include "server/events.h"
#include "util/fd.h"
#include "util/result.h"

namespace ruk {

struct Server;
struct Machine;

// A `new --on` request waits this many ticks (15 seconds) for its answer.
inline constexpr uint64_t REMOTE_REQUEST_TICKS = 30;

// Starts a link to every machine of the hosts file.
void connect_saved_hosts(Server& server);

// `connect HOST [COMMAND]`: saves the machine and starts its link; the text
// says what happened.
Result<std::string> connect_machine(Server& server, std::string host, std::string command);

// `disconnect HOST`: ends the machine's link and forgets it.
Result<std::string> disconnect_machine(Server& server, std::string host);

// Appends a machine and starts its link.
MachineId add_machine(Server& server, std::string host, std::string command);

// A new ssh link for the machine, replacing any it has; a program that cannot
// be run counts as a failed attempt.
void start_link(Server& server, MachineId id);
// Ends the machine's live link, if any, without waiting for ssh.
void close_link(Machine& machine);
// Every link ends (the server stops).
void close_all_links(Server& server);

// The link is gone: the reason becomes the machine's status, the next
// attempt is scheduled with back-off, and the requests waiting on it fail.
void link_lost(Server& server, MachineId id, std::optional<std::string> reason);

void handle_remote_message(Server& server, uint64_t link, MachineId id, protocol::ServerMessage&& message);
void handle_remote_closed(Server& server, uint64_t link, MachineId id);

// The far half of `new --on HOST`: the reply goes to `requester` when the
// machine answers, or fails after REMOTE_REQUEST_TICKS.
void request_remote_agent(Server& server, MachineId id, protocol::NewAgent agent, uint16_t rows, uint16_t cols,
                          Fd requester);

// Fails every waiting request of the machine with "{host}: {text}".
void fail_pending_requests(Server& server, MachineId id, const std::string& text);

}  // namespace ruk
