#include "server/connections.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "protocol/messages.h"
#include "sys/sys.h"
#include "util/log.h"

namespace ruk {

namespace {

using namespace protocol;

// Turns one client message into its event; false ends the reader.
bool forward(ConnId conn, int socket, std::optional<pid_t> pid, ClientMessage&& message, EventChannel& events) {
    auto copy = [&]() -> std::optional<Fd> {
        auto dup = sys::duplicate(socket);
        if (!dup) return std::nullopt;
        return std::move(*dup);
    };
    return std::visit(
        [&](auto&& m) -> bool {
            using M = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<M, client::Attach>) {
                auto stream = copy();
                return stream && events.send(event::Attach{conn, m.rows, m.cols, std::move(*stream)});
            } else if constexpr (std::is_same_v<M, client::Input>) {
                return events.send(event::Input{conn, std::move(m.bytes)});
            } else if constexpr (std::is_same_v<M, client::Resize>) {
                return events.send(event::Resize{conn, m.rows, m.cols});
            } else if constexpr (std::is_same_v<M, client::KillServer>) {
                auto stream = copy();
                return stream && events.send(event::KillServer{std::move(*stream)});
            } else if constexpr (std::is_same_v<M, client::Command>) {
                auto stream = copy();
                return stream && events.send(event::Command{conn, std::move(m.args), std::move(*stream), pid});
            } else if constexpr (std::is_same_v<M, client::Peer>) {
                return events.send(event::PeerRequestEvent{conn, std::move(m.json)});
            } else {
                return events.send(event::PeerInput{conn, m.window, std::move(m.bytes)});
            }
        },
        std::move(message));
}

void read_connection(ConnId conn, Fd socket, EventSender events) {
    std::optional<pid_t> pid;
    if (auto cred = sys::peer_cred(socket.get()); cred && cred->pid > 0) pid = cred->pid;
    FrameReader reader(socket.get());
    while (true) {
        auto message = read_client_message(reader);
        if (!message) {
            log_line("connection " + std::to_string(conn) + ": " + message.error().message);
            break;
        }
        if (!*message) break;
        if (!forward(conn, socket.get(), pid, std::move(**message), *events)) {
            if (events->closed()) return;
            break;  // the stream could not be duplicated
        }
    }
    events->send(event::Disconnected{conn});
}

}  // namespace

void start_accept_thread(Fd listener, EventSender events) {
    std::thread([listener = std::move(listener), events = std::move(events)]() mutable {
        const uid_t me = ::geteuid();
        ConnId next = 1;
        while (!events->closed()) {
            auto conn = sys::accept_unix(listener.get());
            if (!conn) {
                if (conn.error().code == EINTR || conn.error().code == ECONNABORTED) continue;
                if (conn.error().code == EMFILE || conn.error().code == ENFILE) {
                    sys::sleep_ms(50);  // out of descriptors: let some close
                    continue;
                }
                break;  // the listener was shut down
            }
            const auto cred = sys::peer_cred(conn->get());
            if (!cred || cred->uid != me) {
                log_line("refused a connection from uid " + (cred ? std::to_string(cred->uid) : std::string("?")));
                continue;  // closed as it goes out of scope
            }
            const ConnId id = next++;
            std::thread(read_connection, id, std::move(*conn), events).detach();
        }
    }).detach();
}

void start_tick_thread(EventSender events) {
    std::thread([events = std::move(events)] {
        while (true) {
            sys::sleep_ms(500);
            if (!events->send(event::Tick{})) return;
        }
    }).detach();
}

namespace {

// The reader thread still holds the connection; ending our side of it tells
// the client that nothing more comes.
void finish(int socket) { ::shutdown(socket, SHUT_WR); }

}  // namespace

void answer_and_close(Fd stream, bool ok, const std::string& text) {
    std::vector<uint8_t> payload;
    payload.reserve(text.size() + 1);
    payload.push_back(ok ? 1 : 0);
    payload.insert(payload.end(), text.begin(), text.end());
    auto frame = encode_frame(static_cast<uint8_t>(ServerTag::Reply), payload);
    size_t done = 0;
    while (done < frame.size()) {
        const ssize_t n = ::send(stream.get(), frame.data() + done, frame.size() - done, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            frame.erase(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(done));
            std::thread([stream = std::move(stream), frame = std::move(frame)] {
                // Blocking now, off the loop; give up on a client that never reads.
                (void)sys::set_recv_timeout(stream.get(), std::chrono::seconds(30));
                timeval tv{30, 0};
                ::setsockopt(stream.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
                size_t sent = 0;
                while (sent < frame.size()) {
                    const ssize_t m = ::send(stream.get(), frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
                    if (m < 0 && errno == EINTR) continue;
                    if (m <= 0) return;
                    sent += static_cast<size_t>(m);
                }
                finish(stream.get());
            }).detach();
            return;
        } else {
            return;  // the client is gone; nothing to tell anyone
        }
    }
    finish(stream.get());
}

}  // namespace ruk
