#include "server/connections.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "protocol/messages.h"
#include "sys/sys.h"
#include "util/log.h"

namespace ruk {

namespace {

using namespace protocol;

constexpr size_t READ_BLOCK = 65536;

// Turns one client message into its event; false ends the reader.
bool forward(ConnId conn, int socket, std::optional<pid_t> pid, ClientMessage&& message, std::vector<ServerEvent>& out) {
    auto emit = [&](ServerEvent event) {
        out.push_back(std::move(event));
        return true;
    };
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
                return stream && emit(event::Attach{conn, m.rows, m.cols, std::move(*stream)});
            } else if constexpr (std::is_same_v<M, client::Input>) {
                return emit(event::Input{conn, std::move(m.bytes)});
            } else if constexpr (std::is_same_v<M, client::Resize>) {
                return emit(event::Resize{conn, m.rows, m.cols});
            } else if constexpr (std::is_same_v<M, client::KillServer>) {
                auto stream = copy();
                return stream && emit(event::KillServer{std::move(*stream)});
            } else if constexpr (std::is_same_v<M, client::Command>) {
                auto stream = copy();
                return stream && emit(event::Command{conn, std::move(m.args), std::move(*stream), pid});
            } else if constexpr (std::is_same_v<M, client::Peer>) {
                // A hello makes the connection a peer, which the loop answers
                // on a stream of its own.
                if (const auto* hello = std::get_if<peer_request::Hello>(&m.request)) {
                    auto stream = copy();
                    return stream && emit(event::PeerHello{conn, std::move(*stream), hello->version});
                }
                return emit(event::PeerRequestEvent{conn, std::move(m.request)});
            } else {
                return emit(event::PeerInput{conn, m.window, std::move(m.bytes)});
            }
        },
        std::move(message));
}

// A connection as a source of the event channel: what one read brings is cut
// into frames and turned into events on the loop's thread, so a key costs no
// hand-over between threads. Reads never block (the descriptor itself stays
// blocking: the loop's copies of it write through it).
EventChannel::Reader connection_reader(ConnId conn, Fd socket) {
    struct State {
        Fd socket;
        std::optional<pid_t> pid;
        FrameAssembler frames;
        std::vector<uint8_t> buffer;
    };
    auto state = std::make_shared<State>();
    if (auto cred = sys::peer_cred(socket.get()); cred && cred->pid > 0) state->pid = cred->pid;
    state->socket = std::move(socket);
    state->buffer.resize(READ_BLOCK);
    return [conn, state](std::vector<ServerEvent>& out) {
        auto end = [&](const std::string& why) {
            if (!why.empty()) log_line("connection " + std::to_string(conn) + ": " + why);
            out.push_back(event::Disconnected{conn});
            return false;
        };
        const ssize_t n = ::recv(state->socket.get(), state->buffer.data(), state->buffer.size(), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
        if (n < 0) return end(std::string("read failed: ") + std::strerror(errno));
        if (n == 0) return end(state->frames.partial() ? "unexpected end of data" : "");
        state->frames.push(std::span(state->buffer).first(static_cast<size_t>(n)));
        while (true) {
            auto frame = state->frames.next();
            if (!frame) return end(frame.error().message);
            if (!*frame) return true;
            auto message = decode_client_message(std::move(**frame));
            if (!message) return end(message.error().message);
            // Only a stream that cannot be duplicated fails here.
            if (!forward(conn, state->socket.get(), state->pid, std::move(*message), out)) return end("");
        }
    };
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
            const int fd = conn->get();
            events->watch(fd, connection_reader(id, std::move(*conn)));
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
