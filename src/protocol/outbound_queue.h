// What the server sends to an attached client or a peer goes through one of
// these: an unbounded channel of encoded frames drained by one writer thread,
// so the event loop never waits on a socket. More than 16 MiB waiting marks
// the connection dead; the loop then shuts its socket down after the batch.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "util/channel.h"
#include "util/fd.h"

namespace ruk::protocol {

inline constexpr uint64_t OUTBOUND_CAP = 16777216;  // 16 MiB

class OutboundQueue {
public:
    // Takes the write side of the connection (a socket, or a pipe for the ssh
    // link). The queue and its writer thread share it; it closes once both
    // have let go (the queue is dropped and the writer has ended).
    explicit OutboundQueue(Fd socket);
    // Never blocks: closes the channel, and the detached writer sends what is
    // queued, then lets go of the socket. The socket closes once both are gone.
    ~OutboundQueue();
    OutboundQueue(const OutboundQueue&) = delete;
    OutboundQueue& operator=(const OutboundQueue&) = delete;

    // Queues a whole encoded frame. False when the frame was discarded
    // (already dead, or this frame took it over the cap and killed it).
    bool send(std::vector<uint8_t> frame);
    bool dead() const;
    uint64_t waiting() const;
    // Shuts the socket down in both directions, which ends the connection's
    // reader and a writer blocked on it.
    void shutdown();

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
};

}  // namespace ruk::protocol
