// An unbounded multi-producer channel with a single receiver. The receiver
// closes it when it is done; from then on every send fails, which is how the
// threads that feed the server learn that the loop has ended.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

namespace ruk {

template <typename T>
class Channel {
public:
    // False once the channel is closed; the value is dropped.
    bool send(T value) {
        {
            std::lock_guard lock(m_mutex);
            if (m_closed) return false;
            m_items.push_back(std::move(value));
        }
        m_ready.notify_one();
        return true;
    }

    // Blocks until an item arrives; nothing once the channel is closed and empty.
    std::optional<T> recv() {
        std::unique_lock lock(m_mutex);
        m_ready.wait(lock, [&] { return !m_items.empty() || m_closed; });
        return take(lock);
    }

    // Waits until the deadline at most.
    template <typename Clock, typename Duration>
    std::optional<T> recv_until(std::chrono::time_point<Clock, Duration> deadline) {
        std::unique_lock lock(m_mutex);
        m_ready.wait_until(lock, deadline, [&] { return !m_items.empty() || m_closed; });
        return take(lock);
    }

    std::optional<T> try_recv() {
        std::unique_lock lock(m_mutex);
        return take(lock);
    }

    // Makes every later send fail and wakes a waiting receiver. Items already
    // queued can still be received.
    void close() {
        {
            std::lock_guard lock(m_mutex);
            m_closed = true;
        }
        m_ready.notify_all();
    }

    bool closed() const {
        std::lock_guard lock(m_mutex);
        return m_closed;
    }

    size_t size() const {
        std::lock_guard lock(m_mutex);
        return m_items.size();
    }

private:
    std::optional<T> take(std::unique_lock<std::mutex>&) {
        if (m_items.empty()) return std::nullopt;
        T value = std::move(m_items.front());
        m_items.pop_front();
        return value;
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<T> m_items;
    bool m_closed = false;
};

}  // namespace ruk
