// Shared steps of starting a child program; see launch.h for the rules the
// child side keeps.
#include "sys/linux/launch.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <pthread.h>

namespace ruk::sys::launch {

CStrings::CStrings(const std::vector<std::string>& items) : m_items(items) {
    m_pointers.reserve(m_items.size() + 1);
    for (auto& item : m_items) m_pointers.push_back(item.data());
    m_pointers.push_back(nullptr);
}

Result<Fd> above_stdio(Fd fd) {
    if (fd.get() > 2) return fd;
    const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return fail_errno("cannot move a descriptor");
    return Fd(moved);
}

Result<ReportPipe> report_pipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return fail_errno("cannot create a pipe");
    Fd read(ends[0]);
    Fd write = RUK_TRY(above_stdio(Fd(ends[1])));
    return ReportPipe{std::move(read), std::move(write)};
}

std::optional<Report> read_report(int fd) {
    Report report;
    auto* bytes = reinterpret_cast<char*>(&report);
    size_t done = 0;
    while (done < sizeof report) {
        const ssize_t n = ::read(fd, bytes + done, sizeof report - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    if (done < sizeof report) return std::nullopt;
    return report;
}

Error start_error(const std::string& program, const Report& report, const std::string& directory) {
    std::string message = "cannot start " + program + ": ";
    switch (report.step) {
    case Step::Exec: break;
    case Step::Session: message += "setsid: "; break;
    case Step::ControllingTerminal: message += "cannot take the terminal: "; break;
    case Step::Streams: message += "cannot set up standard streams: "; break;
    case Step::Directory: message += "cannot enter " + directory + ": "; break;
    case Step::Fork: message += "fork: "; break;
    }
    message += std::strerror(report.error);
    return Error{std::move(message), report.error};
}

SignalsBlocked::SignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &m_old);
}

SignalsBlocked::~SignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &m_old, nullptr); }

int descriptor_limit() {
    const long limit = ::sysconf(_SC_OPEN_MAX);
    // A huge limit would make the fallback loop slow; descriptors that high
    // are not ours.
    if (limit <= 0 || limit > 65536) return 65536;
    return static_cast<int>(limit);
}

void close_descriptors_except(int keep, int limit) {
    bool done = keep == 3 || ::syscall(SYS_close_range, 3u, static_cast<unsigned>(keep - 1), 0u) == 0;
    done = done && ::syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0u, 0u) == 0;
    if (done) return;
    for (int fd = 3; fd < limit; ++fd)
        if (fd != keep) ::close(fd);
}

void reset_signals() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    // A handler is reset by exec anyway; an ignored signal (the server ignores
    // SIGPIPE) would stay ignored in the child and everything it starts.
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP) continue;
        ::sigaction(sig, &action, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

bool move_onto(int from, int to) {
    while (::dup2(from, to) < 0) {
        if (errno != EINTR && errno != EBUSY) return false;
    }
    return true;
}

void report_and_exit(int fd, Step step, int error) {
    const Report report{step, error};
    const auto* bytes = reinterpret_cast<const char*>(&report);
    size_t done = 0;
    while (done < sizeof report) {
        const ssize_t n = ::write(fd, bytes + done, sizeof report - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    ::_exit(127);
}

}  // namespace ruk::sys::launch
