#include "server/window_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <span>
#include <thread>

#include "util/channel.h"

namespace ruk {

struct WindowProcess::Shared {
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable credit;
    uint64_t pending = 0;  // under mutex
    Fd wake;               // eventfd: wakes the reader out of poll
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
    Fd wake(::eventfd(0, EFD_CLOEXEC));
    auto reader_fd = sys::duplicate(pty.master.get());
    auto writer_fd = sys::duplicate(pty.master.get());
    if (!wake || !reader_fd || !writer_fd) {
        const std::string why = !wake ? "eventfd failed" : (!reader_fd ? reader_fd.error() : writer_fd.error()).message;
        sys::hang_up_pty(std::move(pty.master), pty.pid);
        return fail("failed to clone pty: " + why);
    }
    shared->wake = std::move(wake);
    // Shared by every copy of the master: reads and writes never block, and
    // the threads wait in poll instead.
    ::fcntl(pty.master.get(), F_SETFL, ::fcntl(pty.master.get(), F_GETFL) | O_NONBLOCK);

    std::thread([id, fd = std::move(*reader_fd), shared, events] {
        std::vector<uint8_t> buffer(OUTPUT_BLOCK);
        while (true) {
            {
                std::unique_lock lock(shared->mutex);
                while (shared->pending >= OUTPUT_CREDIT && !shared->stop) {
                    shared->credit.wait_for(lock, std::chrono::milliseconds(100));
                }
            }
            if (shared->stop) return;
            pollfd fds[2] = {{fd.get(), POLLIN, 0}, {shared->wake.get(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[1].revents) return;  // the window is gone
            auto n = sys::read_some(fd.get(), buffer);
            if (!n && n.error().code == EAGAIN) continue;
            // A terminal's master reads EIO once the last program on the
            // other side has closed it: that is the end of output.
            if (!n || *n == 0) break;
            {
                std::lock_guard lock(shared->mutex);
                shared->pending += *n;
            }
            if (!events->send(event::WindowOutput{id, std::vector<uint8_t>(buffer.begin(), buffer.begin() + *n)}))
                return;
        }
        if (!shared->stop) events->send(event::WindowExited{id});
    }).detach();

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
    return process;
}

WindowProcess::~WindowProcess() {
    if (!m_shared) return;
    m_shared->stop = true;
    const uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(m_shared->wake.get(), &one, sizeof one);
    m_shared->credit.notify_all();
    m_shared->input.close();
    sys::hang_up_pty(std::move(m_master), m_pid);
}

void WindowProcess::consumed(size_t bytes) {
    bool wake = false;
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->pending = bytes > m_shared->pending ? 0 : m_shared->pending - bytes;
        wake = m_shared->pending < OUTPUT_CREDIT;
    }
    if (wake) m_shared->credit.notify_one();
}

uint64_t WindowProcess::pending() const {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->pending;
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
