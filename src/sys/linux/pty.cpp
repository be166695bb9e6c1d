// Pseudo terminals for windows. The child becomes the leader of a new session
// with the terminal as its controlling one, so that the kernel delivers
// SIGWINCH on resize and SIGHUP on hang-up to it and to its foreground jobs,
// and its process group id equals its pid.
//
// Both ends are opened with O_CLOEXEC from the start: a master leaked into a
// program started by another thread at the same moment would keep this
// terminal alive after we hang it up.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>

#include "sys/linux/launch.h"
#include "sys/sys.h"

namespace ruk::sys {
namespace {

winsize window_size(uint16_t rows, uint16_t cols) {
    winsize size{};
    size.ws_row = std::clamp<uint16_t>(rows, 1, 32767);
    size.ws_col = std::clamp<uint16_t>(cols, 1, 32767);
    return size;
}

Result<Fd> open_slave(int master) {
    const int peer = ::ioctl(master, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (peer >= 0) return Fd(peer);
    // Kernels before 4.13 have no TIOCGPTPEER: open the slave by name.
    char name[128];
    if (::ptsname_r(master, name, sizeof name) != 0) return fail_errno("cannot name the pseudo terminal");
    Fd slave(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave) return fail_errno(std::string("cannot open ") + name);
    return slave;
}

}  // namespace

Result<Pty> spawn_pty(const PtyOptions& options) {
    if (options.argv.empty()) return fail("cannot start a window without a program");
    const std::string& program = options.argv[0];

    Fd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master) return fail_errno("cannot open a pseudo terminal");
    if (::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0)
        return fail_errno("cannot unlock the pseudo terminal");
    Fd slave = RUK_TRY(open_slave(master.get()));
    slave = RUK_TRY(launch::above_stdio(std::move(slave)));

    const winsize size = window_size(options.rows, options.cols);
    if (::ioctl(master.get(), TIOCSWINSZ, &size) != 0) return fail_errno("cannot size the pseudo terminal");
    // Input is UTF-8: in line mode, erasing removes a whole character.
    termios modes{};
    if (::tcgetattr(slave.get(), &modes) == 0) {
        modes.c_iflag |= IUTF8;
        ::tcsetattr(slave.get(), TCSANOW, &modes);
    }

    auto report = RUK_TRY(launch::report_pipe());
    const launch::CStrings argv(options.argv);
    const launch::CStrings envp(options.environment);
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
            const int tty = slave.get();
            if (::setsid() < 0) launch::report_and_exit(out, launch::Step::Session, errno);
            if (::ioctl(tty, TIOCSCTTY, 0) < 0) launch::report_and_exit(out, launch::Step::ControllingTerminal, errno);
            for (int target = 0; target <= 2; ++target)
                if (!launch::move_onto(tty, target)) launch::report_and_exit(out, launch::Step::Streams, errno);
            launch::close_descriptors_except(out, limit);
            // A directory that cannot be entered is not worth losing the
            // window for: the program runs where the server runs.
            if (cwd) (void)::chdir(cwd);
            launch::reset_signals();
            ::execvpe(argv.get()[0], argv.get(), envp.get());
            launch::report_and_exit(out, launch::Step::Exec, errno);
        }
    }
    if (pid < 0) return fail_errno("cannot start " + program + ": fork", fork_errno);
    slave.reset();
    report.write.reset();
    if (auto failed = launch::read_report(report.read.get())) {
        int status;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return std::unexpected(launch::start_error(program, *failed));
    }
    return Pty{std::move(master), pid};
}

Result<void> resize_pty(int master, uint16_t rows, uint16_t cols) {
    const winsize size = window_size(rows, cols);
    if (::ioctl(master, TIOCSWINSZ, &size) != 0) return fail_errno("cannot resize the pseudo terminal");
    return {};
}

namespace {

void hang_up_group(pid_t group) {
    // kill(0 or -1) would signal our own group or every process we may signal.
    if (group <= 1) return;
    ::kill(-group, SIGHUP);
    // A stopped group must run to die of the hang-up.
    ::kill(-group, SIGCONT);
}

}  // namespace

void hang_up_pty(Fd master, pid_t pid) {
    // Closing the last descriptor of the master hangs up the terminal, and the
    // kernel signals the session leader and the foreground job. Other threads
    // may still hold duplicates of the master (a writer stuck on a program
    // that stopped reading), so the same signals are sent here as well: to
    // the child's group and to the job in the foreground, which an
    // interactive shell runs in a group of its own.
    const pid_t foreground = master ? ::tcgetpgrp(master.get()) : -1;
    master.reset();
    hang_up_group(pid);
    if (foreground != pid) hang_up_group(foreground);
}

std::optional<pid_t> foreground_process_group(int master) {
    const pid_t group = ::tcgetpgrp(master);
    if (group <= 0) return std::nullopt;
    return group;
}

}  // namespace ruk::sys
