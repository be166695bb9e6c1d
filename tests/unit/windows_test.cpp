// Local windows with real processes, driven through the loop's handlers
// without the loop's threads: flow control, exits, the view after an exit,
// and the screen's answers reaching the program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "server/event_loop.h"
#include "server/local_windows.h"
#include "server/registry.h"
#include "server/server.h"
#include "server/view.h"
#include "server/window.h"
#include "test_support.h"

namespace ruk {
namespace {

using namespace std::chrono_literals;

class WindowsTest : public ::testing::Test {
protected:
    test::TempDir dir;
    Server server;
    EventSender events = std::make_shared<EventChannel>();

    WindowsTest() {
        server.shell = "/bin/sh";
        server.socket_path = dir / "default.sock";
        server.events = events;
    }
    ~WindowsTest() override {
        server.windows.clear();
        events->close();
    }

    WindowId shell_with(const std::string& command) {
        auto id = spawn_window(server, 24, 80, std::nullopt, {"sh", "-c", command});
        EXPECT_TRUE(id);
        return id.value_or(0);
    }
    // Handles events as the loop would until the condition holds.
    bool run_until(const std::function<bool()>& done, std::chrono::seconds deadline = 30s) {
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            if (auto e = events->recv_until(std::chrono::steady_clock::now() + 20ms))
                (void)handle_event(server, std::move(*e));
        }
        return true;
    }
};

// How much the process has written so far.
uint64_t bytes_written(pid_t pid) {
    const std::string io = test::read_file("/proc/" + std::to_string(pid) + "/io");
    const size_t at = io.find("wchar: ");
    return at == std::string::npos ? 0 : std::stoull(io.substr(at + 7));
}

TEST_F(WindowsTest, ABurstIsHeldAtTheTerminalUntilTheLoopReadsIt) {
    const WindowId id = shell_with("exec head -c 10000000 /dev/zero");
    Window* window = find_window(server, id);
    ASSERT_TRUE(window);
    const pid_t pid = window->pid();
    // Nothing receives: the program must stall once its terminal is full,
    // not have its output read into the server.
    uint64_t written = 0;
    ASSERT_TRUE(test::wait_for([&] {
        const uint64_t before = bytes_written(pid);
        std::this_thread::sleep_for(50ms);
        written = bytes_written(pid);
        return written > 0 && written == before;
    }));
    EXPECT_LT(written, 1000000u);
    // Receiving lets the whole burst through, one bounded read at a time.
    uint64_t total = 0;
    size_t largest = 0;
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (total < 10000000 && std::chrono::steady_clock::now() < end) {
        auto e = events->recv_until(std::chrono::steady_clock::now() + 100ms);
        if (!e) continue;
        if (auto* out = std::get_if<event::WindowOutput>(&*e)) {
            total += out->bytes.size();
            largest = std::max(largest, out->bytes.size());
        }
        (void)handle_event(server, std::move(*e));
    }
    EXPECT_EQ(total, 10000000u);
    EXPECT_LE(largest, OUTPUT_BLOCK);
}

TEST_F(WindowsTest, ExitsRemoveTheWindowOnceAndMoveTheView) {
    const WindowId a = shell_with("sleep 1000"), b = shell_with("sleep 1000"), c = shell_with("sleep 1000");
    switch_view(server, View{0, b});
    // Both the end of output and the waiter report an exit; the second finds nothing.
    EXPECT_EQ(handle_event(server, event::WindowExited{b}), Flow::Continue);
    EXPECT_EQ(handle_event(server, event::WindowExited{b}), Flow::Continue);
    ASSERT_EQ(server.windows.size(), 2u);
    EXPECT_EQ(server.view, (View{0, c})) << "the next window takes the place";
    EXPECT_EQ(handle_event(server, event::WindowExited{c}), Flow::Continue);
    EXPECT_EQ(server.view, (View{0, a})) << "the last one went: the new last";
    // A new window takes the lowest free number again.
    const WindowId d = shell_with("sleep 1000");
    EXPECT_EQ(find_window(server, d)->number, 1u);
}

TEST_F(WindowsTest, KilledProgramsAndProgramsThatLeaveTheirTerminalEndOnlyTheirWindow) {
    const WindowId keep = shell_with("sleep 1000");
    const WindowId killed = shell_with("sleep 1000");
    // Windows whose shell itself exits at once, or closes its terminal and
    // keeps running: the end of output counts as the window's exit.
    auto window_running = [&](const std::string& script) {
        const std::string path = dir / ("shell-" + std::to_string(server.next_window_id));
        test::write_file(path, "#!/bin/sh\n" + script + "\n");
        ::chmod(path.c_str(), 0755);
        server.shell = path;
        auto id = spawn_window(server, 24, 80, std::nullopt, {});
        server.shell = "/bin/sh";
        EXPECT_TRUE(id);
        return id.value_or(0);
    };
    const WindowId quick = window_running("exit 0");
    const WindowId detached = window_running("exec sleep 1000 </dev/null >/dev/null 2>&1");
    ::kill(find_window(server, killed)->pid(), SIGKILL);
    ASSERT_TRUE(run_until([&] {
        return !find_window(server, killed) && !find_window(server, detached) && !find_window(server, quick);
    }));
    ASSERT_TRUE(find_window(server, keep));
}

TEST_F(WindowsTest, AShellThatCannotStartLeavesNoWindowAndALogLine) {
    const std::string log = dir / "log";
    Fd saved(::dup(2));
    Fd file(::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    ::dup2(file.get(), 2);
    server.shell = "/nonexistent/shell";
    auto id = spawn_window(server, 24, 80, std::nullopt, {});
    ::dup2(saved.get(), 2);
    EXPECT_FALSE(id);
    EXPECT_TRUE(server.windows.empty());
    EXPECT_EQ(test::read_file(log).rfind("ruk: failed to spawn /nonexistent/shell: ", 0), 0u) << test::read_file(log);
}

TEST_F(WindowsTest, TheProgramGetsTheScreensAnswerToACursorQuery) {
    const std::string out = dir / "answer";
    const WindowId id = shell_with("stty raw -echo; printf 'ab\\n\\033[6n'; dd bs=1 count=6 2>/dev/null > " + out +
                                   ".tmp; mv " + out + ".tmp " + out + "; sleep 1000");
    ASSERT_TRUE(run_until([&] { return !test::read_file(out).empty(); }));
    EXPECT_EQ(test::read_file(out), "\x1b[2;3R");  // "ab" then a raw line feed: row 2, column 3
    EXPECT_TRUE(find_window(server, id));
}

}  // namespace
}  // namespace ruk
