// The kernel's random source.
#include <sys/random.h>

#include "sys/sys.h"

namespace ruk::sys {

Result<void> random_bytes(std::span<uint8_t> out) {
    // getrandom may return fewer bytes than asked (large requests, signals).
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::getrandom(out.data() + done, out.size() - done, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail_errno("cannot read random bytes");
        }
        done += static_cast<size_t>(n);
    }
    return {};
}

}  // namespace ruk::sys
