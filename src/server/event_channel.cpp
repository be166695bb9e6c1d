#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <mutex>
#include <unordered_map>

#include "server/events.h"

namespace ruk {

namespace {

// The epoll tag of the wake-up descriptor; a source's tag is its key.
constexpr uint64_t WAKE_TAG = 0;
constexpr int READY_AT_ONCE = 16;

struct Source {
    int fd;
    EventChannel::Reader reader;
};

}  // namespace

struct EventChannel::State {
    mutable std::mutex mutex;
    std::deque<ServerEvent> items;  // under mutex
    bool closed = false;            // under mutex
    bool sleeping = false;          // under mutex: the receiver is, or is about to be, in epoll_wait
    std::unordered_map<uint64_t, std::shared_ptr<Source>> sources;  // under mutex
    uint64_t next_key = 1;                                          // under mutex
    Fd epoll;
    Fd wake;  // eventfd: a sender's knock while the receiver sleeps

    std::optional<ServerEvent> take() {
        if (items.empty()) return std::nullopt;
        ServerEvent event = std::move(items.front());
        items.pop_front();
        return event;
    }

    void knock() {
        const uint64_t one = 1;
        (void)!::write(wake.get(), &one, sizeof one);
    }

    void remove(uint64_t key, std::unique_lock<std::mutex>& lock) {
        auto it = sources.find(key);
        if (it == sources.end()) return;
        auto source = std::move(it->second);
        sources.erase(it);
        ::epoll_ctl(epoll.get(), EPOLL_CTL_DEL, source->fd, nullptr);
        // The reader (and the descriptor it owns) goes without the lock held.
        lock.unlock();
        source.reset();
        lock.lock();
    }

    // Waits up to `timeout_ms` (-1: for ever) for a sender or a source, and
    // runs the reader of every source that is readable. Called with the lock
    // held and the queue empty; returns with the lock held.
    void wait(std::unique_lock<std::mutex>& lock, int timeout_ms) {
        sleeping = true;
        lock.unlock();
        epoll_event ready[READY_AT_ONCE];
        const int n = ::epoll_wait(epoll.get(), ready, READY_AT_ONCE, timeout_ms);
        lock.lock();
        sleeping = false;
        std::vector<ServerEvent> made;
        for (int i = 0; i < n; ++i) {
            const uint64_t key = ready[i].data.u64;
            if (key == WAKE_TAG) {
                uint64_t count;
                (void)!::read(wake.get(), &count, sizeof count);
                continue;
            }
            auto it = sources.find(key);
            if (it == sources.end()) continue;  // forgotten by an earlier reader in this round
            auto source = it->second;
            lock.unlock();
            const bool more = source->reader(made);
            source.reset();
            lock.lock();
            if (!more) remove(key, lock);
        }
        for (auto& event : made) items.push_back(std::move(event));
    }
};

EventChannel::EventChannel() : m_state(std::make_unique<State>()) {
    m_state->epoll = Fd(::epoll_create1(EPOLL_CLOEXEC));
    m_state->wake = Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = WAKE_TAG;
    ::epoll_ctl(m_state->epoll.get(), EPOLL_CTL_ADD, m_state->wake.get(), &event);
}

EventChannel::~EventChannel() = default;

bool EventChannel::send(ServerEvent event) {
    bool knock = false;
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->closed) return false;
        m_state->items.push_back(std::move(event));
        knock = m_state->sleeping;
    }
    if (knock) m_state->knock();
    return true;
}

std::optional<ServerEvent> EventChannel::recv() {
    std::unique_lock lock(m_state->mutex);
    while (m_state->items.empty() && !m_state->closed) m_state->wait(lock, -1);
    return m_state->take();
}

std::optional<ServerEvent> EventChannel::recv_until(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(m_state->mutex);
    while (m_state->items.empty() && !m_state->closed) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            m_state->wait(lock, 0);
            break;
        }
        // Rounded up, so a wait never ends just short of the deadline.
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        m_state->wait(lock, static_cast<int>(std::min<int64_t>(ms, 1 << 30)));
    }
    return m_state->take();
}

std::optional<ServerEvent> EventChannel::try_recv() {
    std::lock_guard lock(m_state->mutex);
    return m_state->take();
}

void EventChannel::close() {
    bool knock = false;
    {
        std::lock_guard lock(m_state->mutex);
        m_state->closed = true;
        knock = m_state->sleeping;
    }
    if (knock) m_state->knock();
}

bool EventChannel::closed() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->closed;
}

uint64_t EventChannel::watch(int fd, Reader reader) {
    std::lock_guard lock(m_state->mutex);
    const uint64_t key = m_state->next_key++;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = key;
    m_state->sources[key] = std::make_shared<Source>(Source{fd, std::move(reader)});
    if (::epoll_ctl(m_state->epoll.get(), EPOLL_CTL_ADD, fd, &event) != 0) m_state->sources.erase(key);
    return key;
}

void EventChannel::forget(uint64_t key) {
    std::unique_lock lock(m_state->mutex);
    m_state->remove(key, lock);
}

EventChannel::Reader window_output_reader(WindowId window, Fd terminal, size_t block) {
    struct State {
        Fd terminal;
        std::vector<uint8_t> buffer;
    };
    auto state = std::make_shared<State>(State{std::move(terminal), std::vector<uint8_t>(block)});
    return [window, state](std::vector<ServerEvent>& out) {
        const ssize_t n = ::read(state->terminal.get(), state->buffer.data(), state->buffer.size());
        if (n > 0) {
            out.push_back(event::WindowOutput{window, std::vector<uint8_t>(state->buffer.begin(), state->buffer.begin() + n)});
            return true;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        out.push_back(event::WindowExited{window});
        return false;
    };
}

}  // namespace ruk
