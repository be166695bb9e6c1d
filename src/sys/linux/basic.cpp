// Environment, time and plain descriptor reads and writes.
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "sys/sys.h"

namespace ruk::sys {

std::optional<std::string> env(const char* name) {
    const char* value = ::getenv(name);
    if (!value) return std::nullopt;
    return std::string(value);
}

void sleep_ms(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

Result<void> write_all(int fd, std::span<const uint8_t> bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail_errno("write");
        }
        done += static_cast<size_t>(n);
    }
    return {};
}

Result<size_t> read_some(int fd, std::span<uint8_t> buffer) {
    while (true) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n >= 0) return static_cast<size_t>(n);
        if (errno == EINTR) continue;
        return fail_errno("read");
    }
}

}  // namespace ruk::sys
