#include "terminal_harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vterm.h>

#include <algorithm>
#include <cerrno>

#include "sys/sys.h"
#include "util/utf8.h"

namespace ruk::test {

namespace {

// libvterm marks the right half of a wide character with this.
constexpr uint32_t WIDE_CONTINUATION = 0xffffffff;

int record_mode(VTermProp prop, VTermValue* value, void* user) {
    auto* modes = static_cast<TermModes*>(user);
    switch (prop) {
        case VTERM_PROP_ALTSCREEN: modes->alt_screen = value->boolean; break;
        case VTERM_PROP_CURSORVISIBLE: modes->cursor_visible = value->boolean; break;
        case VTERM_PROP_MOUSE: modes->mouse = value->number; break;
        default: break;
    }
    return 1;
}

// Whatever the emulator would answer (device attributes, cursor reports) is
// dropped: the program gets no replies unless a test types them.
void discard_output(const char*, size_t, void*) {}

std::optional<int> colour(const VTermColor& c, bool is_default) {
    if (is_default) return std::nullopt;
    if (VTERM_COLOR_IS_INDEXED(&c)) return c.indexed.idx;
    return -1;
}

// How many bytes at the end of the block begin a UTF-8 character that the
// block does not finish. libvterm turns a character split between two writes
// into two replacement characters, so those bytes wait for the next block.
size_t unfinished_character(std::string_view block) {
    for (size_t back = 1; back <= 3 && back <= block.size(); ++back) {
        const auto byte = static_cast<uint8_t>(block[block.size() - back]);
        if ((byte & 0xc0) == 0x80) continue;  // a continuation byte: look further back
        const size_t length = byte >= 0xf0 ? 4 : byte >= 0xe0 ? 3 : byte >= 0xc0 ? 2 : 1;
        return length > back ? back : 0;
    }
    return 0;
}

EnvChanges merged(EnvChanges base, const EnvChanges& extra) {
    for (const auto& change : extra) {
        std::erase_if(base, [&](const auto& kept) { return kept.first == change.first; });
        base.push_back(change);
    }
    return base;
}

}  // namespace

Terminal::Terminal(std::vector<std::string> argv, std::vector<std::string> env, int rows, int cols) {
    start(std::move(argv), std::move(env), rows, cols);
}

Terminal::Terminal(const RukHome& home, std::vector<std::string> args, const EnvChanges& extra, int rows,
                   int cols) {
    std::vector<std::string> argv{RUK_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    auto changes = merged(home.env(), {{"TERM", "xterm-256color"}, {"SHELL", "/bin/sh"}});
    start(std::move(argv), environment_with(merged(std::move(changes), extra)), rows, cols);
}

void Terminal::start(std::vector<std::string> argv, std::vector<std::string> env, int rows, int cols) {
    m_vt = vterm_new(rows, cols);
    vterm_set_utf8(m_vt, 1);
    vterm_output_set_callback(m_vt, discard_output, nullptr);
    m_screen = vterm_obtain_screen(m_vt);
    vterm_screen_enable_altscreen(m_screen, 1);
    static const VTermScreenCallbacks callbacks = [] {
        VTermScreenCallbacks c{};
        c.settermprop = record_mode;
        return c;
    }();
    vterm_screen_set_callbacks(m_screen, &callbacks, &m_modes);
    vterm_screen_reset(m_screen, 1);

    const std::string program = argv.empty() ? "" : argv[0];
    auto pty = sys::spawn_pty({.argv = std::move(argv),
                               .environment = std::move(env),
                               .rows = static_cast<uint16_t>(rows),
                               .cols = static_cast<uint16_t>(cols)});
    if (!pty) {
        ADD_FAILURE() << "cannot start " << program << ": " << pty.error().message;
        return;
    }
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "cannot create a pipe";
        ::kill(pty->pid, SIGKILL);
        m_pid = pty->pid;
        reap(true);
        m_pid = 0;
        return;
    }
    m_wake_read = Fd(wake[0]);
    m_wake_write = Fd(wake[1]);
    m_master = std::move(pty->master);
    m_pid = pty->pid;
    m_reader = std::thread([this] { read_output(); });
}

Terminal::~Terminal() {
    if (m_pid > 0 && !m_status) {
        // Not reaped yet, so the group id cannot belong to anyone else.
        ::kill(-m_pid, SIGKILL);
        ::kill(m_pid, SIGKILL);
        reap(true);
    }
    if (m_reader.joinable()) {
        // Something may still hold the terminal open; the reader is told to
        // stop instead of waiting for the end of its output.
        (void)sys::write_all(m_wake_write.get(), "x");
        m_reader.join();
    }
    if (m_vt) vterm_free(m_vt);
}

void Terminal::read_output() {
    char buffer[65536];
    std::string block;
    while (true) {
        pollfd fds[2] = {{m_master.get(), POLLIN, 0}, {m_wake_read.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents) break;
        if (!fds[0].revents) continue;
        const ssize_t n = ::read(m_master.get(), buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        // EIO: every holder of the terminal's other side has closed it.
        if (n <= 0) break;
        std::lock_guard lock(m_mutex);
        m_raw.append(buffer, static_cast<size_t>(n));
        block.append(buffer, static_cast<size_t>(n));
        const size_t held = unfinished_character(block);
        vterm_input_write(m_vt, block.data(), block.size() - held);
        block.erase(0, block.size() - held);
    }
    m_output_ended.store(true);
}

std::optional<int> Terminal::reap(bool block) {
    if (m_status) return m_status;
    if (m_pid <= 0) return std::nullopt;
    int status = 0;
    pid_t got;
    while ((got = ::waitpid(m_pid, &status, block ? 0 : WNOHANG)) < 0 && errno == EINTR) {
    }
    if (got != m_pid) return std::nullopt;
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return m_status;
}

void Terminal::type(std::string_view text) {
    if (m_master) {
        EXPECT_TRUE(sys::write_all(m_master.get(), text)) << "typing into the terminal";
    }
}

void Terminal::type_keys(std::span<const uint8_t> bytes) {
    if (m_master) {
        EXPECT_TRUE(sys::write_all(m_master.get(), bytes)) << "typing into the terminal";
    }
}

std::string Terminal::row(int r) const {
    std::lock_guard lock(m_mutex);
    int rows = 0, cols = 0;
    vterm_get_size(m_vt, &rows, &cols);
    if (r < 0 || r >= rows) return {};
    std::string text;
    for (int c = 0; c < cols;) {
        VTermScreenCell cell{};
        vterm_screen_get_cell(m_screen, VTermPos{r, c}, &cell);
        if (cell.chars[0] == 0 || cell.chars[0] == WIDE_CONTINUATION) {
            text += ' ';
        } else {
            for (int i = 0; i < VTERM_MAX_CHARS_PER_CELL && cell.chars[i] && cell.chars[i] != WIDE_CONTINUATION; ++i)
                append_utf8(text, static_cast<char32_t>(cell.chars[i]));
        }
        c += std::max(1, static_cast<int>(cell.width));
    }
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

std::vector<std::string> Terminal::rows() const {
    std::vector<std::string> all;
    for (int r = 0, n = height(); r < n; ++r) all.push_back(row(r));
    return all;
}

std::string Terminal::screen() const {
    std::string text;
    for (const auto& line : rows()) text += line + "\n";
    return text;
}

Cursor Terminal::cursor() const {
    std::lock_guard lock(m_mutex);
    VTermPos pos{};
    vterm_state_get_cursorpos(vterm_obtain_state(m_vt), &pos);
    return Cursor{pos.row, pos.col};
}

CellAttrs Terminal::cell_attrs(int r, int c) const {
    std::lock_guard lock(m_mutex);
    VTermScreenCell cell{};
    vterm_screen_get_cell(m_screen, VTermPos{r, c}, &cell);
    CellAttrs attrs;
    attrs.fg = colour(cell.fg, VTERM_COLOR_IS_DEFAULT_FG(&cell.fg));
    attrs.bg = colour(cell.bg, VTERM_COLOR_IS_DEFAULT_BG(&cell.bg));
    attrs.bold = cell.attrs.bold;
    attrs.italic = cell.attrs.italic;
    attrs.underline = cell.attrs.underline != 0;
    attrs.blink = cell.attrs.blink;
    attrs.reverse = cell.attrs.reverse;
    attrs.strike = cell.attrs.strike;
    return attrs;
}

TermModes Terminal::modes() const {
    std::lock_guard lock(m_mutex);
    return m_modes;
}

int Terminal::height() const {
    std::lock_guard lock(m_mutex);
    int rows = 0, cols = 0;
    vterm_get_size(m_vt, &rows, &cols);
    return rows;
}

int Terminal::width() const {
    std::lock_guard lock(m_mutex);
    int rows = 0, cols = 0;
    vterm_get_size(m_vt, &rows, &cols);
    return cols;
}

bool Terminal::wait_for_text(std::string_view needle, std::chrono::milliseconds deadline) const {
    return wait_for([&] {
        for (const auto& line : rows())
            if (line.find(needle) != std::string::npos) return true;
        return false;
    }, deadline);
}

bool Terminal::wait_for(const std::function<bool()>& condition, std::chrono::milliseconds deadline) const {
    return test::wait_for(condition, deadline);
}

void Terminal::resize(int rows, int cols) {
    {
        // The screen first, so that what the program draws for the new size
        // lands on a screen of that size.
        std::lock_guard lock(m_mutex);
        vterm_set_size(m_vt, rows, cols);
    }
    if (m_master) {
        EXPECT_TRUE(sys::resize_pty(m_master.get(), static_cast<uint16_t>(rows), static_cast<uint16_t>(cols)));
    }
}

std::string Terminal::raw_output() const {
    std::lock_guard lock(m_mutex);
    return m_raw;
}

size_t Terminal::mark() const {
    std::lock_guard lock(m_mutex);
    return m_raw.size();
}

std::string Terminal::bytes_since(size_t mark) const {
    std::lock_guard lock(m_mutex);
    return mark < m_raw.size() ? m_raw.substr(mark) : std::string();
}

bool Terminal::wait_for_bytes(std::string_view needle, size_t since, std::chrono::milliseconds deadline) const {
    return wait_for([&] { return bytes_since(since).find(needle) != std::string::npos; }, deadline);
}

std::optional<termios> Terminal::line_settings() const {
    if (!m_master) return std::nullopt;
    // On Linux the master reports the settings of the program's side.
    termios modes{};
    if (::tcgetattr(m_master.get(), &modes) != 0) return std::nullopt;
    return modes;
}

std::optional<int> Terminal::wait_exit(std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    if (!test::wait_for([&] { return reap(false).has_value(); }, deadline)) return std::nullopt;
    // What the program wrote before it ended may still be on its way to the
    // screen; the end of output says it has all arrived.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    (void)test::wait_for([&] { return m_output_ended.load(); }, std::max(left, std::chrono::milliseconds(2000)));
    return m_status;
}

}  // namespace ruk::test
