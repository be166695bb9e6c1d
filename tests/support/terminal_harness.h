// A user at a terminal, for end-to-end tests: runs a program (normally the
// real `ruk`) in a real pseudo terminal of a given size, feeds everything it
// writes into a libvterm screen of its own, and types as a user would. The
// screen is libvterm's complete one, independent of ruk's own emulation, so
// what a test reads is what a terminal would show. Nothing is answered back
// to the program: queries it writes stay unanswered, as they are in a
// terminal that does not understand them.
//
// Tests read rows, the cursor and cell attributes, and wait by polling with a
// deadline. The destructor kills the program's process group by pid, also
// when the test failed half-way.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "test_support.h"
#include "util/fd.h"

struct VTerm;
struct VTermScreen;

namespace ruk::test {

struct Cursor {
    int row = 0, col = 0;
    bool operator==(const Cursor&) const = default;
};

struct CellAttrs {
    // Palette index; nullopt is the terminal's default colour. A direct RGB
    // colour (which ruk never writes) reads as -1.
    std::optional<int> fg, bg;
    bool bold = false, italic = false, underline = false, blink = false, reverse = false, strike = false;
    bool operator==(const CellAttrs&) const = default;
};

// The terminal modes libvterm reports, as last switched by the program.
struct TermModes {
    bool alt_screen = false;
    bool cursor_visible = true;
    int mouse = 0;  // 0: no mouse reporting; otherwise libvterm's VTERM_PROP_MOUSE_*
    bool operator==(const TermModes&) const = default;
};

class Terminal {
public:
    // Runs argv (argv[0] looked up on PATH) with exactly this environment.
    Terminal(std::vector<std::string> argv, std::vector<std::string> env, int rows = 24, int cols = 80);
    // Runs the built `ruk` with these arguments in the home's environment
    // plus TERM=xterm-256color and SHELL=/bin/sh, then the extra changes.
    Terminal(const RukHome& home, std::vector<std::string> args, const EnvChanges& extra = {}, int rows = 24,
             int cols = 80);
    ~Terminal();
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    // False when the program could not be started (the test has failed then).
    bool started() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }

    // What the user types, written to the terminal as it is.
    void type(std::string_view text);
    void type_keys(std::span<const uint8_t> bytes);

    // Text of a row, trailing blanks trimmed; a wide character counts once.
    std::string row(int r) const;
    std::vector<std::string> rows() const;
    // Every row, one per line: for failure messages.
    std::string screen() const;
    Cursor cursor() const;
    CellAttrs cell_attrs(int r, int c) const;
    TermModes modes() const;
    int height() const;
    int width() const;

    // Polls the screen (or anything) until it holds or the deadline passes.
    bool wait_for_text(std::string_view needle, std::chrono::milliseconds deadline = 30s) const;
    bool wait_for(const std::function<bool()>& condition, std::chrono::milliseconds deadline = 30s) const;

    // Sets the terminal's size as a window manager would: the program gets SIGWINCH.
    void resize(int rows, int cols);

    // Every byte the program wrote so far, and slices of it from a mark.
    std::string raw_output() const;
    size_t mark() const;
    std::string bytes_since(size_t mark) const;
    bool wait_for_bytes(std::string_view needle, size_t since = 0, std::chrono::milliseconds deadline = 30s) const;

    // The line discipline's settings of the terminal, as the program sees them.
    std::optional<termios> line_settings() const;

    // Exit status (or 128 + signal) once the program has ended and its output
    // has been read; nullopt if it is still running at the deadline.
    std::optional<int> wait_exit(std::chrono::milliseconds deadline = 30s);

private:
    void start(std::vector<std::string> argv, std::vector<std::string> env, int rows, int cols);
    void read_output();
    std::optional<int> reap(bool block);

    pid_t m_pid = 0;
    Fd m_master;
    Fd m_wake_read, m_wake_write;  // stop the reader thread
    std::optional<int> m_status;
    std::atomic<bool> m_output_ended{false};

    mutable std::mutex m_mutex;  // guards everything below
    VTerm* m_vt = nullptr;
    VTermScreen* m_screen = nullptr;
    std::string m_raw;
    TermModes m_modes;
    std::thread m_reader;
};

}  // namespace ruk::test
