// The live part of the connection to another machine: an ssh child whose
// standard input carries our frames to `ruk bridge` over there and whose
// standard output brings that server's frames back. Its standard error is
// kept for a reason to show when the link fails.
//
// Nothing here blocks the event loop: frames go out through a queue with its
// own writer thread, two reader threads turn what comes back into events
// stamped with the link's id (so that a late event of an older link of the
// same machine is recognised and ignored), and dropping a link kills ssh and
// reaps it on a short-lived thread of its own.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/messages.h"
#include "protocol/outbound_queue.h"
#include "server/events.h"
#include "util/result.h"

namespace ruk {

// RUK_SSH when it is set to valid text, else "ssh".
std::string ssh_program();

// The arguments that follow the program: no terminal, never a password
// prompt, a silent connection given up after about 45 seconds; the remote
// command is one argument, "{command} bridge", for the remote user's shell.
std::vector<std::string> ssh_arguments(const std::string& host, const std::string& command);

class RemoteLink {
public:
    // Starts `program` with the arguments and the link's threads. The error
    // carries the system's reason (errno) when the program cannot be run.
    static Result<std::unique_ptr<RemoteLink>> start(const std::string& program, const std::vector<std::string>& args,
                                                     uint64_t link_id, MachineId machine, EventSender events);
    // Kills ssh without waiting for it; the readers end when its pipes close.
    ~RemoteLink();
    RemoteLink(const RemoteLink&) = delete;
    RemoteLink& operator=(const RemoteLink&) = delete;

    uint64_t id() const { return m_id; }
    pid_t pid() const { return m_pid; }

    // Queues a frame; false when it was refused (the queue is dead or would
    // pass its cap). The link itself ends only when its reader notices.
    bool send(const protocol::ClientMessage& message);

    // The last non-empty line ssh wrote to its standard error, trimmed.
    std::optional<std::string> last_error() const;

    struct Shared;

private:
    RemoteLink() = default;
    uint64_t m_id = 0;
    pid_t m_pid = 0;
    std::unique_ptr<protocol::OutboundQueue> m_queue;
    std::shared_ptr<Shared> m_shared;
};

}  // namespace ruk
