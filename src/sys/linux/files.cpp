// The server's lock file, its log as standard error, replacing files and
// finding our own executable.
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include "sys/sys.h"

namespace ruk::sys {

Result<std::optional<Fd>> try_lock_file(const std::string& path) {
    // Never truncated: the file only carries the lock.
    Fd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    if (!file) return fail_errno("cannot open " + path);
    // flock belongs to this open file: it is released when the last copy of
    // the descriptor closes or the process ends, and a second open in the same
    // process is refused like another process.
    while (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK) return std::optional<Fd>();
        return fail_errno("cannot lock " + path);
    }
    return std::optional<Fd>(std::move(file));
}

Result<void> redirect_stderr(const std::string& path) {
    Fd file(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
    if (!file) return fail_errno("cannot open " + path);
    // dup2 leaves the copy on descriptor 2 without O_CLOEXEC, as a standard
    // stream should be.
    while (::dup2(file.get(), STDERR_FILENO) < 0) {
        if (errno != EINTR && errno != EBUSY) return fail_errno("cannot redirect standard error to " + path);
    }
    return {};
}

Result<void> replace_file(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) return fail_errno("cannot rename " + from + " to " + to);
    return {};
}

Result<std::string> own_executable() {
    // An executable replaced by an upgrade reads "PATH (deleted)"; process
    // inspection strips that, and PATH is where the new build is.
    if (auto path = process_executable(::getpid())) return *path;
    return fail_errno("cannot find the running executable");
}

}  // namespace ruk::sys
