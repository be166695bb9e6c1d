// Owners of file descriptors: every descriptor goes into an Fd as soon as it
// is opened, so an early return needs no cleanup.
#pragma once

#include <unistd.h>

#include <utility>

namespace ruk {

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    Fd(Fd&& from) noexcept : m_fd(std::exchange(from.m_fd, -1)) {}
    Fd& operator=(Fd&& from) noexcept {
        reset(std::exchange(from.m_fd, -1));
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    int release() { return std::exchange(m_fd, -1); }
    void reset(int fd = -1) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

}  // namespace ruk
