// The attach client's three threads. The main thread reads the connection and
// writes the terminal; the input thread reads the terminal and sends `Input`;
// the signal thread turns window-size changes into `Resize`. The two senders
// share one duplicate of the connection behind a mutex, so their frames never
// interleave, and the main thread never writes to the connection after
// `Attach`.
//
// The sending threads are never joined: one of them sits in a read of the
// terminal that nothing can interrupt, so once the terminal is taken over the
// process ends from the main thread. What those threads use is therefore
// shared-owned, never borrowed from the main thread's stack.
//
// Size changes come from SIGWINCH rather than a poll, through a self-pipe:
// the handler only writes the signal number, everything else happens on the
// signal thread. SIGTERM takes the same path so that `kill` leaves a usable
// terminal behind instead of one stuck in raw mode on the alternate screen.
#include "client/client.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <variant>

#include "protocol/messages.h"
#include "server/lifecycle.h"

namespace ruk {

namespace {

constexpr size_t INPUT_CHUNK = 4096;
constexpr sys::TermSize FALLBACK_SIZE{24, 80};
constexpr uint16_t SIZE_LIMIT = 32768;

// Write end of the signal pipe, for the handler. Set once, never closed.
std::atomic<int> g_signal_pipe{-1};

extern "C" void on_signal(int signo) {
    const int saved = errno;
    const int fd = g_signal_pipe.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const auto byte = static_cast<char>(signo);
        // A full pipe already holds a wake-up; losing this byte loses nothing.
        (void)!::write(fd, &byte, 1);
    }
    errno = saved;
}

struct Link {
    std::mutex write_mutex;
    Fd writer;                       // a duplicate of the connection, for the two senders
    std::atomic<int> terminated{0};  // the signal that asked the client to end, 0 if none
};

Result<void> send(Link& link, const protocol::ClientMessage& message) {
    std::lock_guard lock(link.write_mutex);
    return protocol::write_client_message(link.writer.get(), message);
}

struct SignalPipe {
    Fd read, write;
};

Result<SignalPipe> signal_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return fail_errno("cannot create a pipe");
    SignalPipe pipe{Fd(fds[0]), Fd(fds[1])};
    // The handler must never block; the reading side may.
    if (::fcntl(pipe.write.get(), F_SETFL, O_NONBLOCK) != 0) return fail_errno("cannot set up the signal pipe");
    return pipe;
}

void install_handlers(Fd pipe_write) {
    g_signal_pipe.store(pipe_write.release());
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGWINCH, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

void forward_input(std::shared_ptr<Link> link) {
    uint8_t buffer[INPUT_CHUNK];
    while (true) {
        auto n = sys::read_some(STDIN_FILENO, buffer);
        if (!n || *n == 0) return;
        if (!send(*link, protocol::client::Input{protocol::Bytes(buffer, buffer + *n)})) return;
    }
}

void watch_signals(std::shared_ptr<Link> link, Fd wake, SizeWatch sizes) {
    bool sending = true;
    uint8_t signals[64];
    while (true) {
        // Checked once before the first wait as well: the size may have
        // changed between the reading sent in `Attach` and the handler.
        if (sending) {
            if (auto size = sizes.observe(sys::terminal_size(STDOUT_FILENO)))
                sending = static_cast<bool>(send(*link, protocol::client::Resize{size->rows, size->cols}));
        }
        auto n = sys::read_some(wake.get(), signals);
        if (!n || *n == 0) return;
        for (size_t i = 0; i < *n; ++i) {
            if (signals[i] != SIGTERM) continue;
            link->terminated.store(SIGTERM);
            // Ends the main thread's read of the connection; it restores the terminal.
            sys::shutdown_both(link->writer.get());
            return;
        }
    }
}

// Writes what the server draws until the attachment ends; returns why it ended.
std::string relay_output(int conn) {
    protocol::FrameReader reader(conn);
    while (true) {
        auto message = protocol::read_server_message(reader);
        if (!message || !*message) return "lost server";
        if (const auto* output = std::get_if<protocol::server::Output>(&**message)) {
            if (!sys::write_all(STDOUT_FILENO, output->bytes)) return "terminal closed";
        } else if (const auto* detach = std::get_if<protocol::server::Detach>(&**message)) {
            return detach->reason;
        }
    }
}

void give_back(sys::RawMode& raw) {
    (void)sys::write_all(STDOUT_FILENO, RESTORE_SEQUENCE);
    raw.restore();
}

}  // namespace

sys::TermSize reported_size(std::optional<sys::TermSize> read) {
    if (!read || read->rows >= SIZE_LIMIT || read->cols >= SIZE_LIMIT) return FALLBACK_SIZE;
    return *read;
}

std::optional<sys::TermSize> SizeWatch::observe(std::optional<sys::TermSize> now) {
    const bool same = now.has_value() == m_last.has_value() &&
                      (!now || (now->rows == m_last->rows && now->cols == m_last->cols));
    if (same) return std::nullopt;
    m_last = now;
    return reported_size(now);
}

Result<void> attach() {
    if (auto nested = sys::env("RUK"); nested && !nested->empty())
        return fail("already inside ruk (unset $RUK to force)");
    if (!sys::is_terminal(STDIN_FILENO)) return fail("stdin is not a terminal");
    // Checked before the server is reached: a client that cannot draw must
    // not start a server and a shell for nobody.
    if (!sys::is_terminal(STDOUT_FILENO)) return fail("not a console");

    Fd conn = RUK_TRY(connect_or_start());
    const auto size = sys::terminal_size(STDOUT_FILENO);
    const auto first = reported_size(size);
    RUK_TRY(protocol::write_client_message(conn.get(), protocol::client::Attach{first.rows, first.cols}));
    auto pipe = RUK_TRY(signal_pipe());

    auto raw = RUK_TRY(sys::RawMode::enter(STDIN_FILENO));
    (void)sys::write_all(STDOUT_FILENO, ENTER_SEQUENCE);
    auto writer = sys::duplicate(conn.get());
    if (!writer) {
        give_back(raw);
        return std::unexpected(writer.error());
    }
    auto link = std::make_shared<Link>();
    link->writer = std::move(*writer);

    install_handlers(std::move(pipe.write));
    std::thread(forward_input, link).detach();
    std::thread(watch_signals, link, std::move(pipe.read), SizeWatch(size)).detach();

    const std::string reason = relay_output(conn.get());
    give_back(raw);
    if (const int signo = link->terminated.load()) {
        // End the way an unhandled SIGTERM would, now that the terminal is usable.
        ::signal(signo, SIG_DFL);
        ::raise(signo);
        ::_exit(128 + signo);
    }
    (void)sys::write_all(STDOUT_FILENO, "[" + reason + "]\n");
    std::fflush(nullptr);
    // The sending threads may be blocked in reads; the process ends under them.
    ::_exit(0);
}

}  // namespace ruk
