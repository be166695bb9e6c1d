// The writer side of one connection. The queue and its writer thread share one
// record (the channel, the counters and the socket); whichever lets go last
// closes the socket. The writer is detached so that dropping a queue never
// waits for a client that has stopped reading: the loop drops such clients and
// must carry on at once. Such a writer stays blocked until the socket is shut
// down or the other end goes away.
#include "protocol/outbound_queue.h"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <thread>

#include "protocol/frame.h"

namespace ruk::protocol {

struct OutboundQueue::Shared {
    explicit Shared(Fd fd) : socket(std::move(fd)) {}
    Fd socket;
    Channel<std::vector<uint8_t>> channel;
    std::atomic<uint64_t> waiting{0};
    std::atomic<bool> dead{false};
};

OutboundQueue::OutboundQueue(Fd socket) : m_shared(std::make_shared<Shared>(std::move(socket))) {
    std::thread([shared = m_shared] {
        // A pipe whose reader has gone raises SIGPIPE on write; blocked in this
        // thread it only turns the write into an EPIPE error.
        sigset_t pipe_signal;
        sigemptyset(&pipe_signal);
        sigaddset(&pipe_signal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);

        while (auto frame = shared->channel.recv()) {
            // Once dead, nothing more goes out (the cap may have been hit
            // while this writer was blocked).
            const bool written = !shared->dead.load() && write_whole(shared->socket.get(), *frame).has_value();
            shared->waiting.fetch_sub(frame->size());
            if (!written) {
                shared->dead.store(true);
                break;
            }
        }
        // Nothing more goes out: free what is still queued and refuse the rest.
        shared->channel.close();
        while (auto rest = shared->channel.try_recv()) shared->waiting.fetch_sub(rest->size());
    }).detach();
}

OutboundQueue::~OutboundQueue() { m_shared->channel.close(); }

bool OutboundQueue::send(std::vector<uint8_t> frame) {
    Shared& s = *m_shared;
    if (s.dead.load()) return false;
    const uint64_t length = frame.size();
    const uint64_t before = s.waiting.fetch_add(length);
    if (before + length > OUTBOUND_CAP) {
        s.waiting.fetch_sub(length);
        s.dead.store(true);
        return false;
    }
    if (before == 0) {
        // Nothing queued or in flight: write straight away what the socket
        // takes without waiting, and hand only the rest to the writer. This
        // saves a thread hand-over on every frame, which is most of the time
        // between a key and its echo.
        const ssize_t n = ::send(s.socket.get(), frame.data(), frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n == static_cast<ssize_t>(length)) {
            s.waiting.fetch_sub(length);
            return true;
        }
        if (n > 0) {
            s.waiting.fetch_sub(static_cast<uint64_t>(n));
            frame.erase(frame.begin(), frame.begin() + n);
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ENOTSOCK) {
            s.waiting.fetch_sub(length);
            s.dead.store(true);
            return false;
        }
    }
    const uint64_t rest = frame.size();
    if (!s.channel.send(std::move(frame))) {
        // The writer has stopped after a failed write.
        s.waiting.fetch_sub(rest);
        return false;
    }
    return true;
}

bool OutboundQueue::dead() const { return m_shared->dead.load(); }

uint64_t OutboundQueue::waiting() const { return m_shared->waiting.load(); }

void OutboundQueue::shutdown() { ::shutdown(m_shared->socket.get(), SHUT_RDWR); }

}  // namespace ruk::protocol
