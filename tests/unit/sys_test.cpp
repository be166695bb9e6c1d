// The Linux platform layer against real processes, terminals and sockets.
// Every process a test starts is killed and reaped by a guard, pass or fail.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>

#include "sys/sys.h"
#include "test_support.h"

namespace ruk::sys {
namespace {

using namespace std::chrono_literals;
using test::TempDir;
using test::wait_for;

// Kills (with its process group, for a session leader) and reaps a child of
// this test unless the test reaped it itself.
class Reaper {
public:
    explicit Reaper(pid_t pid, bool group = false) : m_pid(pid), m_group(group) {}
    ~Reaper() {
        if (m_pid <= 0) return;
        if (m_group) ::kill(-m_pid, SIGKILL);
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    Reaper(const Reaper&) = delete;
    Reaper& operator=(const Reaper&) = delete;
    // The child has been waited for; its pid may belong to someone else now.
    void reaped() { m_pid = 0; }

private:
    pid_t m_pid;
    bool m_group;
};

// Waits for our child without blocking past the deadline.
std::optional<int> wait_child(pid_t pid, std::chrono::milliseconds deadline = 20s) {
    std::optional<int> result;
    wait_for([&] {
        int status;
        if (::waitpid(pid, &status, WNOHANG) == pid) result = status;
        return result.has_value();
    }, deadline);
    return result;
}

// Reads what is available from the descriptor into `seen` until it holds the
// text.
bool read_until(int fd, std::string& seen, std::string_view text, std::chrono::milliseconds deadline = 20s) {
    return wait_for([&] {
        pollfd entry{fd, POLLIN, 0};
        while (::poll(&entry, 1, 0) > 0) {
            char buffer[4096];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            seen.append(buffer, static_cast<size_t>(n));
        }
        return seen.find(text) != std::string::npos;
    }, deadline);
}

std::string read_all(int fd) {
    std::string text;
    uint8_t buffer[4096];
    while (true) {
        auto n = read_some(fd, buffer);
        if (!n || *n == 0) return text;
        text.append(reinterpret_cast<char*>(buffer), *n);
    }
}

// Fields of /proc/PID/stat after the command name, numbered as in proc(5):
// [3] is the state, [4] the parent, [6] the session, [7] the terminal.
std::vector<std::string> stat_fields(pid_t pid) {
    const std::string text = test::read_file("/proc/" + std::to_string(pid) + "/stat");
    std::vector<std::string> fields(3);
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return {};
    std::string field;
    for (char c : text.substr(close + 2)) {
        if (c == ' ' || c == '\n') {
            fields.push_back(field);
            field.clear();
        } else {
            field += c;
        }
    }
    return fields;
}

bool running(pid_t pid) {
    const auto fields = stat_fields(pid);
    return fields.size() > 3 && fields[3] != "Z";
}

std::vector<pid_t> zombie_children() {
    std::vector<pid_t> zombies;
    for (pid_t child : process_children(::getpid()))
        if (!running(child)) zombies.push_back(child);
    return zombies;
}

std::string real_path(const std::string& path) { return std::filesystem::canonical(path).string(); }

// Our own signal state as a server has it: SIGPIPE ignored, and a signal
// blocked in the starting thread. Children must start with neither.
class ServerLikeSignals {
public:
    ServerLikeSignals() {
        m_old_pipe = ::signal(SIGPIPE, SIG_IGN);
        sigset_t usr1;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        ::pthread_sigmask(SIG_BLOCK, &usr1, &m_old_mask);
    }
    ~ServerLikeSignals() {
        ::signal(SIGPIPE, m_old_pipe);
        ::pthread_sigmask(SIG_SETMASK, &m_old_mask, nullptr);
    }

private:
    sighandler_t m_old_pipe;
    sigset_t m_old_mask;
};

constexpr std::string_view CLEAN_SIGNALS = "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n";

std::string path_variable() { return "PATH=" + env("PATH").value_or("/usr/bin:/bin"); }

// ---- pseudo terminals ------------------------------------------------------------

TEST(PseudoTerminal, ChildGetsEnvironmentSizeDirectoryAndControllingTerminal) {
    TempDir dir;
    test::ScopedEnv ours("RUK_SYS_TEST_OURS", "1");
    // A descriptor without O_CLOEXEC must not reach the window's program.
    Fd null(::open("/dev/null", O_RDONLY));
    Fd stray(::fcntl(null.get(), F_DUPFD, 100));
    ASSERT_TRUE(stray);
    const std::string script =
        "stty size; pwd; echo \"foo=$FOO ours=${RUK_SYS_TEST_OURS-unset}\"; "
        "if [ -e /proc/$$/fd/" + std::to_string(stray.get()) + " ]; then echo fd=open; else echo fd=closed; fi; "
        "grep -E '^Sig(Blk|Ign)' /proc/self/status; echo ready; read x";

    std::optional<Result<Pty>> spawned;
    {
        ServerLikeSignals signals;
        spawned = spawn_pty({.argv = {"sh", "-c", script},
                             .environment = {"FOO=two words", path_variable()},
                             .cwd = dir.path(),
                             .rows = 23,
                             .cols = 55});
    }
    ASSERT_TRUE(*spawned) << (*spawned).error().message;
    Pty pty = std::move(**spawned);
    Reaper reaper(pty.pid, true);

    std::string seen;
    ASSERT_TRUE(read_until(pty.master.get(), seen, "ready\r\n")) << seen;
    // The terminal turns "\n" into "\r\n".
    std::string lines;
    for (char c : seen)
        if (c != '\r') lines += c;
    EXPECT_NE(lines.find("23 55\n" + real_path(dir.path()) + "\nfoo=two words ours=unset\nfd=closed\n"),
              std::string::npos)
        << lines;
    EXPECT_NE(lines.find(CLEAN_SIGNALS), std::string::npos) << lines;

    // The child leads its own session, in the foreground of this very
    // terminal, which is its controlling terminal.
    char name[128];
    ASSERT_EQ(::ptsname_r(pty.master.get(), name, sizeof name), 0);
    struct stat slave;
    ASSERT_EQ(::stat(name, &slave), 0);
    const auto fields = stat_fields(pty.pid);
    ASSERT_GT(fields.size(), 8u);
    EXPECT_EQ(fields[6], std::to_string(pty.pid));                 // session
    EXPECT_EQ(fields[7], std::to_string(slave.st_rdev));            // controlling terminal
    EXPECT_EQ(foreground_process_group(pty.master.get()), pty.pid);
    // The master must not be inherited by programs started later.
    EXPECT_TRUE(::fcntl(pty.master.get(), F_GETFD) & FD_CLOEXEC);
}

TEST(PseudoTerminal, ForegroundJobIsFoundAndHungUp) {
    // An interactive shell puts the program it runs in a group of its own
    // and hands it the terminal.
    auto spawned = spawn_pty({.argv = {"sh", "-i"}, .environment = {path_variable(), "PS1=$ "}});
    ASSERT_TRUE(spawned) << spawned.error().message;
    Reaper reaper(spawned->pid, true);
    const int master = spawned->master.get();
    std::string seen;
    ASSERT_TRUE(read_until(master, seen, "$ ")) << seen;
    // The shell survives a hang-up, so only the signal to the job ends it.
    ASSERT_TRUE(write_all(master, "trap : HUP; sleep 1000\n"));
    std::optional<pid_t> group;
    ASSERT_TRUE(wait_for([&] {
        group = foreground_process_group(master);
        return group && *group != spawned->pid;
    })) << seen;
    EXPECT_EQ(process_parent(*group), spawned->pid);
    EXPECT_EQ(process_command_line(*group), (std::vector<std::string>{"sleep", "1000"}));

    // Another thread's copy of the master keeps the terminal from hanging up
    // by itself; the job in the foreground must end all the same.
    struct Killer {
        pid_t pid;
        ~Killer() { ::kill(pid, SIGKILL); }
    } killer{*group};
    auto copy = duplicate(master);
    ASSERT_TRUE(copy);
    hang_up_pty(std::move(spawned->master), spawned->pid);
    EXPECT_TRUE(wait_for([&] { return !running(*group); }));
}

TEST(PseudoTerminal, ResizeIsSeenAndClamped) {
    auto spawned = spawn_pty({.argv = {"sh", "-c", "while read x; do stty size; done"},
                              .environment = {path_variable()},
                              .rows = 23,
                              .cols = 55});
    ASSERT_TRUE(spawned) << spawned.error().message;
    Reaper reaper(spawned->pid, true);
    const int master = spawned->master.get();

    struct Case {
        std::optional<std::pair<uint16_t, uint16_t>> resize;
        std::string_view want;
    };
    const Case cases[] = {
        {std::nullopt, "23 55"},
        {std::pair<uint16_t, uint16_t>{40, 100}, "40 100"},
        {std::pair<uint16_t, uint16_t>{0, 40000}, "1 32767"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.want);
        if (c.resize) {
            ASSERT_TRUE(resize_pty(master, c.resize->first, c.resize->second));
        }
        std::string seen;
        ASSERT_TRUE(write_all(master, "\n"));
        EXPECT_TRUE(read_until(master, seen, "\r\n" + std::string(c.want) + "\r\n")) << seen;
    }
}

TEST(PseudoTerminal, HangUpEndsTheProgramsWithoutWaitingForThem) {
    struct Case {
        std::string_view name;
        std::string script;
        bool ends;
    };
    const Case cases[] = {
        {"program", "exec sleep 1000", true},
        {"shell running a program", "sleep 1000; :", true},
        // One that ignores the hang-up keeps running, and the caller is still
        // not held up.
        {"program ignoring SIGHUP", "trap '' HUP; sleep 1000; :", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto spawned = spawn_pty({.argv = {"sh", "-c", c.script}, .environment = {path_variable()}});
        ASSERT_TRUE(spawned) << spawned.error().message;
        const pid_t pid = spawned->pid;
        Reaper reaper(pid, true);
        // The sleep, once it runs: the shell itself or its child.
        pid_t sleeper = 0;
        ASSERT_TRUE(wait_for([&] {
            const auto line = process_command_line(pid);
            if (line && !line->empty() && (*line)[0] == "sleep") sleeper = pid;
            for (pid_t child : process_children(pid)) sleeper = child;
            return sleeper != 0;
        }));

        std::atomic<bool> returned = false;
        std::jthread hang_up([&] {
            hang_up_pty(std::move(spawned->master), pid);
            returned = true;
        });
        EXPECT_TRUE(wait_for([&] { return returned.load(); }, 10s));
        if (c.ends) {
            const auto status = wait_child(pid);
            ASSERT_TRUE(status);
            reaper.reaped();
            EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGHUP) << *status;
            EXPECT_TRUE(wait_for([&] { return !running(sleeper); }));
        } else {
            EXPECT_TRUE(running(pid));
            EXPECT_TRUE(running(sleeper));
        }
    }
}

// ---- starting programs -------------------------------------------------------------

TEST(Spawn, MissingProgramsAndDirectoriesAreStartErrors) {
    TempDir dir;
    const std::string plain = dir / "plain";
    test::write_file(plain, "#!/bin/sh\n");
    ::chmod(plain.c_str(), 0644);

    struct Case {
        std::string_view how;
        std::vector<std::string> argv;
        std::optional<std::string> cwd;
        std::string want;
    };
    const Case cases[] = {
        {"pty", {"/bin/nope"}, {}, "cannot start /bin/nope: No such file or directory"},
        {"pty", {"ruk-no-such-program"}, {}, "cannot start ruk-no-such-program: No such file or directory"},
        {"pty", {plain}, {}, "cannot start " + plain + ": Permission denied"},
        {"process", {"/bin/nope", "x"}, {}, "cannot start /bin/nope: No such file or directory"},
        {"process", {"ruk-no-such-program"}, {}, "cannot start ruk-no-such-program: No such file or directory"},
        {"process", {"true"}, dir / "missing",
         "cannot start true: cannot enter " + dir / "missing" + ": No such file or directory"},
        {"detached", {"/bin/nope"}, {}, "cannot start /bin/nope: No such file or directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.how) + " " + c.want);
        Error error;
        if (c.how == "pty") {
            auto got = spawn_pty({.argv = c.argv, .environment = {path_variable()}, .cwd = c.cwd});
            ASSERT_FALSE(got);
            error = got.error();
        } else if (c.how == "process") {
            auto got = spawn_process({.argv = c.argv, .cwd = c.cwd});
            ASSERT_FALSE(got);
            error = got.error();
        } else {
            auto got = spawn_detached(c.argv);
            ASSERT_FALSE(got);
            error = got.error();
        }
        EXPECT_EQ(error.message, c.want);
        EXPECT_NE(error.code, 0);
    }
    EXPECT_EQ(zombie_children(), std::vector<pid_t>{});
    EXPECT_FALSE(spawn_pty({}));
    EXPECT_FALSE(spawn_process({}));
}

TEST(Spawn, WindowInMissingDirectoryRunsInOurs) {
    auto spawned = spawn_pty({.argv = {"sh", "-c", "pwd; read x"},
                              .environment = {path_variable()},
                              .cwd = "/nonexistent/directory"});
    ASSERT_TRUE(spawned) << spawned.error().message;
    Reaper reaper(spawned->pid, true);
    std::string seen;
    EXPECT_TRUE(read_until(spawned->master.get(), seen, real_path(".") + "\r\n")) << seen;
}

TEST(Spawn, ProcessStreamsEnvironmentDirectoryAndSignals) {
    TempDir dir;
    std::optional<Result<Child>> spawned;
    {
        ServerLikeSignals signals;
        spawned = spawn_process({.argv = {"sh", "-c", "cat; echo \"$FOO\" >&2; pwd; grep -E '^Sig(Blk|Ign)' /proc/self/status"},
                                 .environment = std::vector<std::string>{"FOO=x y", path_variable()},
                                 .cwd = dir.path(),
                                 .in = Stdio::Pipe,
                                 .out = Stdio::Pipe,
                                 .err = Stdio::Pipe});
    }
    ASSERT_TRUE(*spawned) << (*spawned).error().message;
    Child child = std::move(**spawned);
    Reaper reaper(child.pid);
    ASSERT_TRUE(write_all(child.in.get(), "hello\n"));
    child.in.reset();
    EXPECT_EQ(read_all(child.out.get()), "hello\n" + real_path(dir.path()) + "\n" + std::string(CLEAN_SIGNALS));
    EXPECT_EQ(read_all(child.err.get()), "x y\n");
    const auto status = wait_process(child.pid);
    reaper.reaped();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);

    // Discarded input reads end of file at once; inherited streams are none of ours.
    auto quiet = spawn_process({.argv = {"cat"}, .in = Stdio::Null, .out = Stdio::Pipe});
    ASSERT_TRUE(quiet) << quiet.error().message;
    Reaper quiet_reaper(quiet->pid);
    EXPECT_FALSE(quiet->in);
    EXPECT_FALSE(quiet->err);
    EXPECT_EQ(read_all(quiet->out.get()), "");
    EXPECT_TRUE(wait_process(quiet->pid));
    quiet_reaper.reaped();
}

TEST(Spawn, DetachedProgramHasItsOwnSessionNoTerminalAndNullStreams) {
    TempDir dir;
    const std::string report = dir / "report";
    ASSERT_TRUE(spawn_detached({"sh", "-c",
                                "links=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2); "
                                "{ echo $$; echo \"$links\"; } > " + report +
                                    ".tmp; sleep 1000 & echo $! >> " + report + ".tmp; mv " + report + ".tmp " +
                                    report + "; wait"}));
    ASSERT_TRUE(wait_for([&] { return std::filesystem::exists(report); }));
    const std::string text = test::read_file(report);
    const pid_t pid = std::stoi(text);
    const pid_t sleeper = std::stoi(text.substr(text.rfind('\n', text.size() - 2) + 1));
    // Not ours to reap: end it by pid and let its parent see to it.
    struct Killer {
        pid_t a, b;
        ~Killer() {
            ::kill(b, SIGKILL);
            ::kill(a, SIGKILL);
        }
    } killer{pid, sleeper};

    EXPECT_NE(text.find("\n/dev/null\n/dev/null\n/dev/null\n"), std::string::npos) << text;
    const auto fields = stat_fields(pid);
    ASSERT_GT(fields.size(), 7u);
    EXPECT_NE(fields[4], std::to_string(::getpid()));   // handed over, not our child
    EXPECT_NE(fields[6], std::to_string(::getsid(0)));  // a session of its own...
    EXPECT_NE(fields[6], std::to_string(pid));          // ...that it does not lead
    EXPECT_EQ(fields[7], "0");                          // and no terminal
    // The intermediate process was reaped.
    EXPECT_EQ(zombie_children(), std::vector<pid_t>{});
}

TEST(Spawn, WaitForAProcessThatIsNotOurs) {
    auto shell = spawn_process({.argv = {"sh", "-c", "sleep 1000 & echo $!; read x"}, .in = Stdio::Pipe, .out = Stdio::Pipe});
    ASSERT_TRUE(shell) << shell.error().message;
    Reaper reaper(shell->pid);
    std::string seen;
    ASSERT_TRUE(read_until(shell->out.get(), seen, "\n"));
    const pid_t sleeper = std::stoi(seen);
    struct Killer {
        pid_t pid;
        ~Killer() { ::kill(pid, SIGKILL); }
    } killer{sleeper};

    std::atomic<bool> done = false;
    std::optional<int> result = 0;
    bool running_when_returned = true;
    std::jthread waiter([&] {
        result = wait_process(sleeper);
        running_when_returned = running(sleeper);
        done = true;
    });
    ::kill(sleeper, SIGKILL);
    ASSERT_TRUE(wait_for([&] { return done.load(); }));
    EXPECT_EQ(result, std::nullopt);
    EXPECT_FALSE(running_when_returned);

    EXPECT_EQ(wait_process(0x3ffffff0), std::nullopt);  // no such process: at once
    shell->in.reset();
    const auto status = wait_process(shell->pid);
    reaper.reaped();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status));
}

TEST(Spawn, NoProcessIdMeansNoSignalAndNoWait) {
    // pid 0 addresses the caller's own process group; run it where that group
    // is one throwaway process.
    const pid_t child = ::fork();
    if (child == 0) {
        ::setpgid(0, 0);
        hang_up_pty(Fd(), 0);
        terminate_process(0);
        ::_exit(wait_process(0) ? 1 : 0);
    }
    Reaper reaper(child);
    const auto status = wait_child(child);
    ASSERT_TRUE(status);
    reaper.reaped();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
}

// ---- process inspection ---------------------------------------------------------------

uint64_t ticks_since_boot() {
    timespec now;
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    const auto hz = static_cast<uint64_t>(::sysconf(_SC_CLK_TCK));
    return static_cast<uint64_t>(now.tv_sec) * hz + static_cast<uint64_t>(now.tv_nsec) * hz / 1000000000u;
}

TEST(Inspect, RealChildren) {
    TempDir dir;
    const std::vector<std::string> argv{"/bin/sh", "-c", "read x", "first", "arg with space"};
    auto first = spawn_process({.argv = argv, .cwd = dir.path(), .in = Stdio::Pipe});
    ASSERT_TRUE(first) << first.error().message;
    Reaper first_reaper(first->pid);
    const auto first_start = process_start_time(first->pid);
    ASSERT_TRUE(first_start);
    // Start times count clock ticks: let one pass before the second child.
    ASSERT_TRUE(wait_for([&] { return ticks_since_boot() > *first_start + 1; }));
    auto second = spawn_process({.argv = argv, .in = Stdio::Pipe});
    ASSERT_TRUE(second) << second.error().message;
    Reaper second_reaper(second->pid);

    const pid_t me = ::getpid();
    bool listed = false;
    for (const auto& entry : process_snapshot())
        if (entry.pid == first->pid) listed = entry.parent == me;
    EXPECT_TRUE(listed);
    const auto children = process_children(me);
    EXPECT_NE(std::find(children.begin(), children.end(), first->pid), children.end());
    EXPECT_NE(std::find(children.begin(), children.end(), second->pid), children.end());
    EXPECT_EQ(process_parent(first->pid), me);
    EXPECT_LT(first_start, process_start_time(second->pid));
    EXPECT_EQ(process_executable(first->pid), real_path("/bin/sh"));
    EXPECT_EQ(process_command_line(first->pid), argv);
    EXPECT_EQ(process_cwd(first->pid), real_path(dir.path()));
    EXPECT_EQ(process_cwd(second->pid), real_path("."));

    // A process that is gone answers nothing.
    first->in.reset();
    ASSERT_TRUE(wait_process(first->pid));
    first_reaper.reaped();
    const pid_t gone = first->pid;
    EXPECT_EQ(process_start_time(gone), std::nullopt);
    EXPECT_EQ(process_parent(gone), std::nullopt);
    EXPECT_EQ(process_executable(gone), std::nullopt);
    EXPECT_EQ(process_command_line(gone), std::nullopt);
    EXPECT_EQ(process_cwd(gone), std::nullopt);
    EXPECT_EQ(process_children(gone), std::vector<pid_t>{});
    EXPECT_EQ(process_parent(0), std::nullopt);
}

TEST(Inspect, OddlyNamedAndDeletedExecutable) {
    // The command name in /proc/PID/stat holds ") 9 (", which a parser that
    // stops at the first ")" takes for the following fields.
    TempDir dir;
    const std::string program = dir / "sl) 9 (p";
    std::filesystem::copy_file(real_path("/bin/sleep"), program);
    ::chmod(program.c_str(), 0755);
    auto child = spawn_process({.argv = {program, "1000"}});
    ASSERT_TRUE(child) << child.error().message;
    Reaper reaper(child->pid);
    ASSERT_TRUE(wait_for([&] { return process_executable(child->pid) == program; }));
    ::unlink(program.c_str());

    EXPECT_EQ(process_parent(child->pid), ::getpid());
    const auto start = process_start_time(child->pid);
    ASSERT_TRUE(start);
    EXPECT_LE(*start, ticks_since_boot());
    EXPECT_GT(*start, 0u);
    EXPECT_EQ(process_executable(child->pid), program);  // without " (deleted)"
    bool listed = false;
    for (const auto& entry : process_snapshot())
        if (entry.pid == child->pid) listed = entry.parent == ::getpid();
    EXPECT_TRUE(listed);
}

// ---- host name ---------------------------------------------------------------------

TEST(HostName, ShortMachineName) {
    struct Case {
        std::optional<std::string_view> raw;
        std::string_view want;
    };
    const Case cases[] = {
        {" box.example.com \n", "box"},
        {"box", "box"},
        {"", "local"},
        {".", "local"},
        {" \t\n", "local"},
        {".example.com", "local"},
        {std::nullopt, "local"},
        {"b\xffx.lan", "b\xEF\xBF\xBDx"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.raw.value_or("(none)"));
        EXPECT_EQ(short_machine_name(c.raw), c.want);
    }
    const std::string name = host_name();
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(name.find_first_of(". \t\n"), std::string::npos) << name;
}

// ---- sockets -----------------------------------------------------------------------

TEST(Socket, ListenConnectAcceptAndPeer) {
    TempDir dir;
    const std::string path = dir / "s";
    const mode_t old_mask = ::umask(022);
    auto listener = listen_unix(path);
    EXPECT_EQ(::umask(old_mask), 022);  // given back
    ASSERT_TRUE(listener) << listener.error().message;
    struct stat info;
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    auto client = connect_unix(path);
    ASSERT_TRUE(client) << client.error().message;
    auto server = accept_unix(listener->get());
    ASSERT_TRUE(server) << server.error().message;
    EXPECT_TRUE(::fcntl(server->get(), F_GETFD) & FD_CLOEXEC);
    const auto peer = peer_cred(server->get());
    ASSERT_TRUE(peer);
    EXPECT_EQ(peer->pid, ::getpid());
    EXPECT_EQ(peer->uid, ::getuid());
    EXPECT_EQ(peer_cred(listener->get() + 1000), std::nullopt);

    // A duplicate is a second, independent descriptor of the same connection.
    auto copy = duplicate(server->get());
    ASSERT_TRUE(copy);
    EXPECT_GT(copy->get(), 2);
    EXPECT_TRUE(::fcntl(copy->get(), F_GETFD) & FD_CLOEXEC);
    server->reset();
    ASSERT_TRUE(write_all(copy->get(), "hi"));
    uint8_t buffer[16];
    EXPECT_EQ(read_some(client->get(), buffer), 2u);

    // A receive timeout turns a read that would wait forever into an error.
    ASSERT_TRUE(set_recv_timeout(client->get(), 20ms));
    EXPECT_FALSE(read_some(client->get(), buffer));

    // Shutting down wakes a thread blocked reading the socket or accepting.
    ASSERT_TRUE(set_recv_timeout(client->get(), 60s));
    std::atomic<int> woken = 0;
    std::optional<Result<size_t>> read_result;
    std::optional<Result<Fd>> accept_result;
    std::jthread reader([&] {
        uint8_t one[1];
        read_result = read_some(client->get(), one);
        ++woken;
    });
    std::jthread acceptor([&] {
        accept_result = accept_unix(listener->get());
        ++woken;
    });
    shutdown_both(client->get());
    shutdown_both(listener->get());
    ASSERT_TRUE(wait_for([&] { return woken == 2; }));
    reader.join();
    acceptor.join();
    ASSERT_TRUE(*read_result);
    EXPECT_EQ(**read_result, 0u);
    EXPECT_FALSE(*accept_result);
}

TEST(Socket, PathLimitAndMissingServer) {
    TempDir dir;
    const std::string base = dir.path() + "/";
    const std::string longest = base + std::string(107 - base.size(), 'a');
    auto fits = listen_unix(longest);
    EXPECT_TRUE(fits) << fits.error().message;
    EXPECT_TRUE(connect_unix(longest));
    auto too_long = listen_unix(longest + "b");
    ASSERT_FALSE(too_long);
    EXPECT_NE(too_long.error().message.find("too long"), std::string::npos);
    EXPECT_FALSE(connect_unix(longest + "b"));
    auto missing = connect_unix(dir / "none");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, ENOENT);
}

// ---- files -------------------------------------------------------------------------

TEST(Files, LockIsExclusiveAcrossProcessesUntilClosed) {
    TempDir dir;
    const std::string path = dir / "default.lock";
    test::write_file(path, "kept");
    // 0: refused, 1: taken, 2: error.
    auto other_process_tries = [&] {
        const pid_t child = ::fork();
        if (child == 0) {
            auto lock = try_lock_file(path);
            ::_exit(!lock ? 2 : lock->has_value() ? 1 : 0);
        }
        Reaper reaper(child);
        const auto status = wait_child(child);
        reaper.reaped();
        return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
    };

    auto held = try_lock_file(path);
    ASSERT_TRUE(held) << held.error().message;
    ASSERT_TRUE(held->has_value());
    EXPECT_EQ(test::read_file(path), "kept");  // never truncated
    EXPECT_EQ(other_process_tries(), 0);
    auto again = try_lock_file(path);  // a second open in this process, too
    ASSERT_TRUE(again);
    EXPECT_FALSE(again->has_value());

    held->reset();
    EXPECT_EQ(other_process_tries(), 1);
    EXPECT_FALSE(try_lock_file(dir / "missing/default.lock"));
}

TEST(Files, StandardErrorRenameAndOwnExecutable) {
    TempDir dir;
    const std::string log = dir / "server.log";
    test::write_file(log, "before\n");
    Fd saved(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3));
    ASSERT_TRUE(redirect_stderr(log));
    const bool wrote = write_all(STDERR_FILENO, "after\n").has_value();
    ::dup2(saved.get(), STDERR_FILENO);
    EXPECT_TRUE(wrote);
    EXPECT_EQ(test::read_file(log), "before\nafter\n");  // appended
    EXPECT_FALSE(redirect_stderr(dir / "missing/server.log"));

    test::write_file(dir / "new", "new");
    test::write_file(dir / "old", "old");
    ASSERT_TRUE(replace_file(dir / "new", dir / "old"));
    EXPECT_EQ(test::read_file(dir / "old"), "new");
    EXPECT_FALSE(std::filesystem::exists(dir / "new"));
    EXPECT_FALSE(replace_file(dir / "new", dir / "old"));

    auto self = own_executable();
    ASSERT_TRUE(self) << self.error().message;
    EXPECT_EQ(*self, real_path("/proc/self/exe"));
}

// ---- random source -----------------------------------------------------------------

TEST(Random, FillsTheWholeBufferWithFreshBytes) {
    // More than one getrandom call returns at once.
    std::vector<uint8_t> big(40u << 20, 0);
    ASSERT_TRUE(random_bytes(big));
    EXPECT_NE(std::vector<uint8_t>(big.end() - 64, big.end()), std::vector<uint8_t>(64, 0));
    std::array<uint8_t, 16> a{}, b{};
    ASSERT_TRUE(random_bytes(a));
    ASSERT_TRUE(random_bytes(b));
    EXPECT_NE(a, b);
}

// ---- the attach client's terminal ------------------------------------------------------

TEST(Terminal, SizeAndRawModeRestoredExactly) {
    int master_fd, slave_fd;
    ASSERT_EQ(::openpty(&master_fd, &slave_fd, nullptr, nullptr, nullptr), 0);
    Fd master(master_fd), slave(slave_fd);
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    Fd pipe_read(ends[0]), pipe_write(ends[1]);
    EXPECT_TRUE(is_terminal(slave.get()));
    EXPECT_FALSE(is_terminal(pipe_read.get()));

    winsize size{.ws_row = 30, .ws_col = 90, .ws_xpixel = 0, .ws_ypixel = 0};
    ASSERT_EQ(::ioctl(master.get(), TIOCSWINSZ, &size), 0);
    const auto got = terminal_size(slave.get());
    ASSERT_TRUE(got);
    EXPECT_EQ(got->rows, 30);
    EXPECT_EQ(got->cols, 90);
    EXPECT_FALSE(terminal_size(pipe_read.get()));

    // Modes no default would give back: erase is ^H, control characters are
    // not echoed as ^X.
    termios modes;
    std::memset(&modes, 0, sizeof modes);
    ASSERT_EQ(::tcgetattr(slave.get(), &modes), 0);
    modes.c_cc[VERASE] = 010;
    modes.c_lflag &= ~static_cast<tcflag_t>(ECHOCTL);
    ASSERT_EQ(::tcsetattr(slave.get(), TCSANOW, &modes), 0);
    auto current = [&] {
        termios now;
        std::memset(&now, 0, sizeof now);
        ::tcgetattr(slave.get(), &now);
        return now;
    };
    const termios before = current();

    {
        auto raw = RawMode::enter(slave.get());
        ASSERT_TRUE(raw) << raw.error().message;
        const termios during = current();
        EXPECT_EQ(during.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(during.c_iflag & (IXON | ICRNL), 0u);
        EXPECT_EQ(during.c_oflag & OPOST, 0u);
        EXPECT_EQ(during.c_cc[VMIN], 1);
        RawMode moved(std::move(*raw));  // only the new owner restores
    }
    const termios after = current();
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);

    // Restored once: what the terminal is set to afterwards is left alone.
    {
        auto raw = RawMode::enter(slave.get());
        ASSERT_TRUE(raw);
        raw->restore();
        const termios restored = current();
        EXPECT_EQ(std::memcmp(&before, &restored, sizeof before), 0);
        termios changed = current();
        changed.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ASSERT_EQ(::tcsetattr(slave.get(), TCSANOW, &changed), 0);
    }
    EXPECT_EQ(current().c_lflag & ECHO, 0u);
    EXPECT_FALSE(RawMode::enter(pipe_read.get()));
}

}  // namespace
}  // namespace ruk::sys
