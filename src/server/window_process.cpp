#include "server/window_process.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <span>
#include <thread>

#include "util/channel.h"

namespace ruk {

struct WindowProcess::Shared {
    struct Write {
        std::vector<uint8_t> bytes;
        std::chrono::steady_clock::time_point not_before;
    };
    Channel<Write> input;
    std::atomic<uint64_t> writes_pending{0};  // queued for the writer or being written
};

namespace {

// The terminal is non-blocking (the loop writes to it directly when it can),
// so waiting for room is a poll. Gives up when the other side is gone.
void write_when_possible(int fd, std::span<const uint8_t> bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, -1) < 0 && errno != EINTR) return;
            if (p.revents & (POLLERR | POLLNVAL)) return;
        } else {
            return;
        }
    }
}

}  // namespace

Result<std::unique_ptr<WindowProcess>> WindowProcess::start(WindowId id, const sys::PtyOptions& options,
                                                            EventSender events) {
    auto pty = RUK_TRY(sys::spawn_pty(options));
    auto shared = std::make_shared<WindowProcess::Shared>();
    auto reader_fd = sys::duplicate(pty.master.get());
    auto writer_fd = sys::duplicate(pty.master.get());
    if (!reader_fd || !writer_fd) {
        const std::string why = (!reader_fd ? reader_fd.error() : writer_fd.error()).message;
        sys::hang_up_pty(std::move(pty.master), pty.pid);
        return fail("failed to clone pty: " + why);
    }
    // Shared by every copy of the master: reads and writes never block; the
    // loop reads when its wait says there is output, the writer waits in poll.
    ::fcntl(pty.master.get(), F_SETFL, ::fcntl(pty.master.get(), F_GETFL) | O_NONBLOCK);
    const int reader = reader_fd->get();
    const uint64_t output_key = events->watch(reader, window_output_reader(id, std::move(*reader_fd), OUTPUT_BLOCK));

    std::thread([id, pid = pty.pid, events] {
        sys::wait_process(pid);
        events->send(event::WindowExited{id});
    }).detach();

    std::thread([fd = std::move(*writer_fd), shared] {
        while (auto write = shared->input.recv()) {
            std::this_thread::sleep_until(write->not_before);
            // A program that has gone away cannot take input; drop it.
            write_when_possible(fd.get(), write->bytes);
            shared->writes_pending.fetch_sub(1);
        }
    }).detach();

    std::unique_ptr<WindowProcess> process(new WindowProcess());
    process->m_master = std::move(pty.master);
    process->m_pid = pty.pid;
    process->m_shared = std::move(shared);
    process->m_output_key = output_key;
    process->m_events = std::move(events);
    return process;
}

WindowProcess::~WindowProcess() {
    if (!m_shared) return;
    m_events->forget(m_output_key);
    m_shared->input.close();
    sys::hang_up_pty(std::move(m_master), m_pid);
}

void WindowProcess::write(std::vector<uint8_t> bytes, std::chrono::milliseconds after) {
    if (after.count() == 0 && m_shared->writes_pending.load() == 0) {
        // Nothing ahead of it: what the terminal takes now goes at once, so a
        // key reaches the program without a thread hand-over.
        const ssize_t n = ::write(m_master.get(), bytes.data(), bytes.size());
        if (n == static_cast<ssize_t>(bytes.size())) return;
        if (n > 0) bytes.erase(bytes.begin(), bytes.begin() + n);
        else if (errno != EAGAIN && errno != EINTR) return;  // the program has gone
    }
    m_shared->writes_pending.fetch_add(1);
    if (!m_shared->input.send(Shared::Write{std::move(bytes), std::chrono::steady_clock::now() + after}))
        m_shared->writes_pending.fetch_sub(1);
}

Result<void> WindowProcess::resize(uint16_t rows, uint16_t cols) { return sys::resize_pty(m_master.get(), rows, cols); }

std::optional<pid_t> WindowProcess::foreground_group() const { return sys::foreground_process_group(m_master.get()); }

}  // namespace ruk
