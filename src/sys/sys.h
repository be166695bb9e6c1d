// The operating-system operations that the rest of ruk uses, and nothing else
// of the system: pseudo terminals, child processes, process inspection, local
// sockets, the server lock, the standard-error redirect, the random source and
// the attach client's terminal. The Linux provider lives in sys/linux/.
//
// Every blocking call here is meant for a thread dedicated to it; the event
// loop only calls what returns promptly.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/fd.h"
#include "util/result.h"

namespace ruk::sys {

// ---- environment and time -------------------------------------------------

// The variable's value; absent and empty are different.
std::optional<std::string> env(const char* name);

using Clock = std::chrono::steady_clock;
void sleep_ms(unsigned ms);

// ---- random source ---------------------------------------------------------

Result<void> random_bytes(std::span<uint8_t> out);

// ---- host name ---------------------------------------------------------------

// The machine's name as the server shows it: the DNS host name (else
// COMPUTERNAME), white space trimmed, cut before its first "."; "local" when
// that leaves nothing.
std::string host_name();
// The trimming and cutting alone, for a raw name (nullopt: no source).
std::string short_machine_name(std::optional<std::string_view> raw);

// ---- files ---------------------------------------------------------------------

// Opens (creating) the file for writing and takes an exclusive non-blocking
// lock on it. nullopt: another process holds the lock. The lock lives as long
// as the returned Fd.
Result<std::optional<Fd>> try_lock_file(const std::string& path);

// Opens the file for appending (creating it) and makes it standard error.
Result<void> redirect_stderr(const std::string& path);

// Renames, replacing an existing target.
Result<void> replace_file(const std::string& from, const std::string& to);

// Full path of the running executable.
Result<std::string> own_executable();

// ---- local stream sockets --------------------------------------------------------

// Binds and listens on a path. The socket file is created with mode 0600.
Result<Fd> listen_unix(const std::string& path);
// Connects without starting anything.
Result<Fd> connect_unix(const std::string& path);
// Blocks until a connection arrives (or the listener is shut down).
Result<Fd> accept_unix(int listener);

struct PeerCred {
    pid_t pid = 0;   // 0 when the system did not say
    uid_t uid = 0;
};
std::optional<PeerCred> peer_cred(int socket);

Result<Fd> duplicate(int fd);
// Ends both directions, waking a thread blocked reading the socket.
void shutdown_both(int socket);
Result<void> set_recv_timeout(int socket, std::chrono::milliseconds timeout);

// Writes every byte, repeating short and interrupted writes.
Result<void> write_all(int fd, std::span<const uint8_t> bytes);
inline Result<void> write_all(int fd, std::string_view bytes) {
    return write_all(fd, std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}
// One read, repeated when interrupted; 0 is end of file.
Result<size_t> read_some(int fd, std::span<uint8_t> buffer);

// ---- child processes ------------------------------------------------------------

enum class Stdio { Pipe, Null, Inherit };

struct ChildOptions {
    std::vector<std::string> argv{};                       // argv[0] is looked up on PATH
    std::optional<std::vector<std::string>> environment{};  // NAME=VALUE; nullopt: ours
    std::optional<std::string> cwd{};  // the start fails when it cannot be entered
    Stdio in = Stdio::Null, out = Stdio::Null, err = Stdio::Null;
};

struct Child {
    pid_t pid = 0;
    Fd in, out, err;  // set for the streams that were piped
};

// Starts a program; the caller owns reaping it (wait_process).
Result<Child> spawn_process(const ChildOptions& options);

// Starts a program that nobody waits for: in a new session, without a
// controlling terminal, standard streams on /dev/null, reparented to init.
Result<void> spawn_detached(const std::vector<std::string>& argv);

// Blocks until the process ends; returns its wait status, or nullopt when it
// is not our child (it then waits for it to disappear).
std::optional<int> wait_process(pid_t pid);
// Sends SIGKILL.
void terminate_process(pid_t pid);

// ---- process inspection -------------------------------------------------------------

struct ProcessEntry {
    pid_t pid = 0;
    pid_t parent = 0;
};

// (pid, parent) of every process at one moment; empty on failure.
std::vector<ProcessEntry> process_snapshot();
// The direct children of a process (all of its threads' children).
std::vector<pid_t> process_children(pid_t pid);
// Start time in clock ticks since boot: comparable between processes.
std::optional<uint64_t> process_start_time(pid_t pid);
std::optional<pid_t> process_parent(pid_t pid);
std::optional<std::string> process_executable(pid_t pid);
// The command line, already split into arguments.
std::optional<std::vector<std::string>> process_command_line(pid_t pid);
// The current directory, without a trailing "/" except for the root.
std::optional<std::string> process_cwd(pid_t pid);

// ---- pseudo terminals ------------------------------------------------------------------

struct PtyOptions {
    std::vector<std::string> argv{};
    std::vector<std::string> environment{};  // NAME=VALUE, the whole environment
    std::optional<std::string> cwd{};  // when it cannot be entered, the child runs in ours
    uint16_t rows = 24, cols = 80;
};

struct Pty {
    Fd master;  // read output from it, write input to it
    pid_t pid = 0;  // the child: leader of its own session, the terminal its controlling one
};

// Sizes are clamped to 1..32767.
Result<Pty> spawn_pty(const PtyOptions& options);
Result<void> resize_pty(int master, uint16_t rows, uint16_t cols);
// Hangs up the terminal: closes the master and sends SIGHUP to the child's
// process group and to the terminal's foreground job. Never blocks; reaping is
// the waiter's job.
void hang_up_pty(Fd master, pid_t pid);
// The terminal's foreground process group.
std::optional<pid_t> foreground_process_group(int master);

// ---- the attach client's terminal ------------------------------------------------------

bool is_terminal(int fd);
struct TermSize {
    uint16_t rows = 0, cols = 0;
};
// nullopt when the descriptor is no terminal or the terminal reports no size.
std::optional<TermSize> terminal_size(int fd);

// Raw mode, restored exactly (the saved termios) when dropped or on restore().
class RawMode {
public:
    static Result<RawMode> enter(int fd);
    RawMode(RawMode&& from) noexcept;
    RawMode& operator=(RawMode&&) = delete;
    RawMode(const RawMode&) = delete;
    ~RawMode();
    void restore();

private:
    RawMode() = default;
    int m_fd = -1;
    std::vector<uint8_t> m_saved;  // struct termios, kept opaque here
};

}  // namespace ruk::sys
