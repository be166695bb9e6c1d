// The attach client's terminal: size and raw mode. Raw mode is cfmakeraw:
// the client writes every escape sequence itself, so no output processing
// is wanted, and every key (ctrl+c, ctrl+z, ctrl+s) must reach the server.
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "sys/sys.h"

namespace ruk::sys {
namespace {

bool set_modes(int fd, int when, const termios& modes) {
    while (::tcsetattr(fd, when, &modes) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

}  // namespace

bool is_terminal(int fd) { return ::isatty(fd) == 1; }

std::optional<TermSize> terminal_size(int fd) {
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) != 0) return std::nullopt;
    // Some terminals (serial lines) report no size at all.
    if (size.ws_row == 0 || size.ws_col == 0) return std::nullopt;
    return TermSize{size.ws_row, size.ws_col};
}

Result<RawMode> RawMode::enter(int fd) {
    termios saved{};
    if (::tcgetattr(fd, &saved) != 0) return fail_errno("cannot read the terminal's modes");
    termios raw = saved;
    ::cfmakeraw(&raw);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    // Keys typed before now still belong to us: drain output, keep input.
    if (!set_modes(fd, TCSADRAIN, raw)) return fail_errno("cannot put the terminal in raw mode");
    RawMode mode;
    mode.m_fd = fd;
    mode.m_saved.resize(sizeof saved);
    std::memcpy(mode.m_saved.data(), &saved, sizeof saved);
    return mode;
}

RawMode::RawMode(RawMode&& from) noexcept : m_fd(std::exchange(from.m_fd, -1)), m_saved(std::move(from.m_saved)) {}

RawMode::~RawMode() { restore(); }

void RawMode::restore() {
    if (m_fd < 0 || m_saved.size() != sizeof(termios)) return;
    termios saved;
    std::memcpy(&saved, m_saved.data(), sizeof saved);
    // Discarding unread input drops reports (mouse, focus) that the terminal
    // sent before it saw the modes switched off, instead of leaving them to
    // the shell.
    set_modes(m_fd, TCSAFLUSH, saved);
    m_fd = -1;
}

}  // namespace ruk::sys
