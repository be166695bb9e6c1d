// Local stream sockets: the server's listener, client connections and the
// identity of the process at the other end.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "sys/sys.h"

namespace ruk::sys {
namespace {

Result<sockaddr_un> address(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // The path and its terminating NUL must fit.
    if (path.empty() || path.size() >= sizeof addr.sun_path)
        return fail(path + " is too long for a socket (at most " + std::to_string(sizeof addr.sun_path - 1) + " bytes)");
    std::memcpy(addr.sun_path, path.data(), path.size());
    return addr;
}

Result<Fd> new_socket() {
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return fail_errno("cannot create a socket");
    return fd;
}

}  // namespace

Result<Fd> listen_unix(const std::string& path) {
    const sockaddr_un addr = RUK_TRY(address(path));
    Fd fd = RUK_TRY(new_socket());
    // bind creates the file with the umask applied: 0177 leaves it 0600. The
    // umask is process-wide; the server binds once, before it starts threads
    // that create files.
    const mode_t old_mask = ::umask(0177);
    const int bound = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    const int bind_errno = errno;
    ::umask(old_mask);
    if (bound != 0) return fail_errno("cannot bind " + path, bind_errno);
    if (::listen(fd.get(), 64) != 0) return fail_errno("cannot listen on " + path);
    return fd;
}

Result<Fd> connect_unix(const std::string& path) {
    const sockaddr_un addr = RUK_TRY(address(path));
    Fd fd = RUK_TRY(new_socket());
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return fd;
    if (errno != EINTR) return fail_errno("cannot connect to " + path);
    // An interrupted connect goes on in the background: wait for its outcome.
    pollfd entry{fd.get(), POLLOUT, 0};
    while (::poll(&entry, 1, -1) < 0) {
        if (errno != EINTR) return fail_errno("cannot connect to " + path);
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return fail_errno("cannot connect to " + path);
    if (error != 0) return fail_errno("cannot connect to " + path, error);
    return fd;
}

Result<Fd> accept_unix(int listener) {
    while (true) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) return Fd(fd);
        // A client that gave up before we took it is not the listener's end.
        if (errno == EINTR || errno == ECONNABORTED) continue;
        // A listener that was shut down answers EINVAL.
        return fail_errno("cannot accept a connection");
    }
}

std::optional<PeerCred> peer_cred(int socket) {
    ucred cred{};
    socklen_t length = sizeof cred;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 || length != sizeof cred)
        return std::nullopt;
    return PeerCred{cred.pid, cred.uid};
}

Result<Fd> duplicate(int fd) {
    // Never onto 0..2, where a closed standard stream would be reopened by it.
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (copy < 0) return fail_errno("cannot duplicate a descriptor");
    return Fd(copy);
}

void shutdown_both(int socket) { ::shutdown(socket, SHUT_RDWR); }

Result<void> set_recv_timeout(int socket, std::chrono::milliseconds timeout) {
    // A zero timeval means "wait forever"; a timeout that rounds to nothing
    // becomes the shortest one instead.
    const auto ms = std::max<int64_t>(timeout.count(), 1);
    timeval value{};
    value.tv_sec = static_cast<time_t>(ms / 1000);
    value.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    if (::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value) != 0)
        return fail_errno("cannot set the receive timeout");
    return {};
}

}  // namespace ruk::sys
