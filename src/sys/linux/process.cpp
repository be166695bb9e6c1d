// Child programs with piped, discarded or inherited streams; detached
// programs; waiting for processes that may or may not be our children.
//
// A failed exec is reported over a pipe (see launch.h), so a missing program
// is an error of the start instead of a child that exits with 127 at once.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>

#include "sys/linux/launch.h"
#include "sys/sys.h"

extern char** environ;

namespace ruk::sys {
namespace {

struct Stream {
    Fd child;   // what the child gets on the standard stream, invalid: inherit
    Fd parent;  // our end of a pipe
};

Result<Fd> open_null() {
    Fd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
    if (!null) return fail_errno("cannot open /dev/null");
    return launch::above_stdio(std::move(null));
}

Result<Stream> make_stream(Stdio kind, bool child_reads) {
    Stream stream;
    switch (kind) {
    case Stdio::Inherit: break;
    case Stdio::Null: stream.child = RUK_TRY(open_null()); break;
    case Stdio::Pipe: {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return fail_errno("cannot create a pipe");
        Fd read(ends[0]), write(ends[1]);
        stream.child = RUK_TRY(launch::above_stdio(child_reads ? std::move(read) : std::move(write)));
        stream.parent = child_reads ? std::move(write) : std::move(read);
        break;
    }
    }
    return stream;
}

void reap(pid_t pid) {
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

bool gone_by_proc(pid_t pid) {
    // Without pidfd: the process has ended when its /proc entry is gone or
    // it is a zombie nobody has reaped yet.
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    Fd stat(::open(path, O_RDONLY | O_CLOEXEC));
    if (!stat) return true;
    char buffer[1024];
    const ssize_t n = ::read(stat.get(), buffer, sizeof buffer - 1);
    if (n <= 0) return true;
    const std::string_view text(buffer, static_cast<size_t>(n));
    const size_t close = text.rfind(')');
    return close == std::string_view::npos || close + 2 >= text.size() || text[close + 2] == 'Z';
}

void wait_until_gone(pid_t pid) {
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        Fd owner(pidfd);
        pollfd entry{pidfd, POLLIN, 0};
        while (true) {
            const int n = ::poll(&entry, 1, -1);
            if (n > 0) return;
            if (n < 0 && errno != EINTR) break;
        }
    } else if (errno == ESRCH) {
        return;
    }
    while (!gone_by_proc(pid)) sleep_ms(100);
}

}  // namespace

Result<Child> spawn_process(const ChildOptions& options) {
    if (options.argv.empty()) return fail("cannot start a program without a name");
    const std::string& program = options.argv[0];

    std::array<Stream, 3> streams;
    streams[0] = RUK_TRY(make_stream(options.in, true));
    streams[1] = RUK_TRY(make_stream(options.out, false));
    streams[2] = RUK_TRY(make_stream(options.err, false));

    auto report = RUK_TRY(launch::report_pipe());
    const launch::CStrings argv(options.argv);
    std::optional<launch::CStrings> envp;
    if (options.environment) envp.emplace(*options.environment);
    const char* cwd = options.cwd ? options.cwd->c_str() : nullptr;
    const int limit = launch::descriptor_limit();

    pid_t pid;
    int fork_errno;
    {
        launch::SignalsBlocked blocked;
        pid = ::fork();
        fork_errno = errno;
        if (pid == 0) {
            const int out = report.write.get();
            for (int target = 0; target <= 2; ++target) {
                const int from = streams[target].child.get();
                if (from >= 0 && !launch::move_onto(from, target))
                    launch::report_and_exit(out, launch::Step::Streams, errno);
            }
            launch::close_descriptors_except(out, limit);
            // Unlike a window, a program that asked for a directory does not
            // run anywhere else.
            if (cwd && ::chdir(cwd) != 0) launch::report_and_exit(out, launch::Step::Directory, errno);
            launch::reset_signals();
            ::execvpe(argv.get()[0], argv.get(), envp ? envp->get() : environ);
            launch::report_and_exit(out, launch::Step::Exec, errno);
        }
    }
    if (pid < 0) return fail_errno("cannot start " + program + ": fork", fork_errno);
    for (auto& stream : streams) stream.child.reset();
    report.write.reset();
    if (auto failed = launch::read_report(report.read.get())) {
        reap(pid);
        return std::unexpected(launch::start_error(program, *failed, options.cwd.value_or("")));
    }
    return Child{pid, std::move(streams[0].parent), std::move(streams[1].parent), std::move(streams[2].parent)};
}

Result<void> spawn_detached(const std::vector<std::string>& argv_items) {
    if (argv_items.empty()) return fail("cannot start a program without a name");
    const std::string& program = argv_items[0];

    Fd null = RUK_TRY(open_null());
    auto report = RUK_TRY(launch::report_pipe());
    const launch::CStrings argv(argv_items);
    const int limit = launch::descriptor_limit();

    pid_t middle;
    int fork_errno;
    {
        launch::SignalsBlocked blocked;
        middle = ::fork();
        fork_errno = errno;
        if (middle == 0) {
            const int out = report.write.get();
            // The middle child leads a new session without a terminal; its
            // child is no session leader, so it can never acquire one, and it
            // is handed to init when the middle child exits at once.
            if (::setsid() < 0) launch::report_and_exit(out, launch::Step::Session, errno);
            const pid_t grandchild = ::fork();
            if (grandchild < 0) launch::report_and_exit(out, launch::Step::Fork, errno);
            if (grandchild > 0) ::_exit(0);
            for (int target = 0; target <= 2; ++target)
                if (!launch::move_onto(null.get(), target)) launch::report_and_exit(out, launch::Step::Streams, errno);
            launch::close_descriptors_except(out, limit);
            launch::reset_signals();
            ::execvp(argv.get()[0], argv.get());
            launch::report_and_exit(out, launch::Step::Exec, errno);
        }
    }
    if (middle < 0) return fail_errno("cannot start " + program + ": fork", fork_errno);
    null.reset();
    report.write.reset();
    reap(middle);
    // End of file once the grandchild has exec'd (or the middle child failed).
    if (auto failed = launch::read_report(report.read.get()))
        return std::unexpected(launch::start_error(program, *failed));
    return {};
}

std::optional<int> wait_process(pid_t pid) {
    // waitpid(0 or -1) would wait for any child; there is no such process.
    if (pid <= 0) return std::nullopt;
    int status = 0;
    while (true) {
        if (::waitpid(pid, &status, 0) == pid) return status;
        if (errno == EINTR) continue;
        break;
    }
    // Not our child (or already reaped by someone else).
    wait_until_gone(pid);
    return std::nullopt;
}

void terminate_process(pid_t pid) {
    if (pid > 0) ::kill(pid, SIGKILL);
}

}  // namespace ruk::sys
