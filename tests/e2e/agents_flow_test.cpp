// Agents as a user at a real terminal meets them: fake agents started from a
// shell inside windows, their group in the sidebar, the marks and desktop
// notifications when they finish or ask something, messages typed into them
// once they are idle, and what is left when one exits.
//
// One server serves the flows of the suite: window 0 is a plain shell in the
// project, windows 1 and 2 run the fake claude there. Every flow starts and
// ends viewing window 0 with both agents idle. The agent of window 2 writes
// what it reads into a pipe that the suite reads with arrival times, so the
// order and the spacing of what the server types into it can be checked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "terminal_harness.h"
#include "test_support.h"
#include "util/fd.h"

namespace ruk {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::RukHome;
using test::Terminal;

constexpr int STATUS_ROW = 23;
const std::string FIXTURES = RUK_FIXTURES_BIN;

// Everything written into a named pipe, in the pieces in which it arrived.
class PipeLog {
public:
    struct Piece {
        Clock::time_point at;
        std::string bytes;
    };

    explicit PipeLog(std::string path) : m_path(std::move(path)) {
        ::mkfifo(m_path.c_str(), 0600);
        m_read = Fd(::open(m_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        // A writer of our own keeps the pipe from reading end-of-file between
        // the writers that come and go.
        m_keep_open = Fd(::open(m_path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        m_reader = std::jthread([this](std::stop_token stop) { read_until(stop); });
    }
    const std::string& path() const { return m_path; }
    bool ok() const { return m_read && m_keep_open; }

    std::vector<Piece> pieces() const {
        std::lock_guard lock(m_mutex);
        return m_pieces;
    }
    std::string text() const {
        std::string all;
        for (const auto& piece : pieces()) all += piece.bytes;
        return all;
    }

private:
    void read_until(const std::stop_token& stop) {
        char buffer[4096];
        while (!stop.stop_requested()) {
            pollfd in{m_read.get(), POLLIN, 0};
            if (::poll(&in, 1, 50) <= 0) continue;
            const ssize_t n = ::read(m_read.get(), buffer, sizeof buffer);
            if (n <= 0) continue;
            std::lock_guard lock(m_mutex);
            m_pieces.push_back({Clock::now(), std::string(buffer, static_cast<size_t>(n))});
        }
    }

    std::string m_path;
    Fd m_read, m_keep_open;
    mutable std::mutex m_mutex;
    std::vector<Piece> m_pieces;
    std::jthread m_reader;  // last: stopped before the descriptors close
};

// What one server and its terminal share across the suite.
struct Session {
    RukHome home;
    std::string bin = home.dir() / "bin";
    std::string proj = home.dir() / "proj";
    std::string notes = home.dir() / "notifications";
    PipeLog typed{home.dir() / "typed"};
    std::unique_ptr<Terminal> term;
    int runs = 0;

    // The shell's profile puts the fake agents first on the windows' PATH; the
    // server finds a recording notify-send on its own PATH and a display.
    Session() {
        ::mkdir(bin.c_str(), 0700);
        ::mkdir(proj.c_str(), 0700);
        ::mkdir((proj + "/.git").c_str(), 0700);
        test::write_file(proj + "/.git/HEAD", "ref: refs/heads/main\n");
        // One line per notification, the arguments separated by "|".
        test::write_file(bin + "/notify-send",
                         "#!/bin/sh\nline=$(printf '%s|' \"$@\")\nprintf '%s\\n' \"$line\" >> " + notes + "\n");
        ::chmod((bin + "/notify-send").c_str(), 0755);
        test::write_file(home.home() + "/.profile", "PATH=" + FIXTURES + ":$PATH\nexport PATH\n");
    }
};

class AgentsFlow : public ::testing::Test {
protected:
    static inline Session* s = nullptr;

    static void SetUpTestSuite() {
        s = new Session;
        const char* path = std::getenv("PATH");
        s->term = std::make_unique<Terminal>(
            s->home, std::vector<std::string>{},
            test::EnvChanges{{"PS1", "$ "},
                             {"PATH", s->bin + ":" + (path ? path : "/usr/bin:/bin")},
                             {"DISPLAY", ":99"},
                             {"WAYLAND_DISPLAY", std::nullopt},
                             {"DBUS_SESSION_BUS_ADDRESS", std::nullopt}});
    }
    static void TearDownTestSuite() {
        s->term.reset();
        s->home.kill_servers();
        delete s;
        s = nullptr;
    }

    // Brings up the windows once, for whichever flow runs first.
    void SetUp() override {
        ASSERT_TRUE(s->typed.ok());
        static bool ready = false;
        static bool tried = false;
        if (!tried) {
            tried = true;
            ready = start_windows();
        }
        ASSERT_TRUE(ready) << "the suite's windows did not come up\n" << term().screen();
    }

    static Terminal& term() { return *s->term; }
    // The status row as drawn, blanks to its end.
    static std::string status() {
        std::string row = term().row(STATUS_ROW);
        return row + std::string(row.size() < 80 ? 80 - row.size() : 0, ' ');
    }
    static bool status_has(std::string_view text) { return status().find(text) != std::string::npos; }
    static bool wait_status(std::string_view text) {
        const bool shown = term().wait_for([&] { return status_has(text); });
        EXPECT_TRUE(shown) << "status bar: " << text << "\n" << term().screen();
        return shown;
    }
    // A row's sidebar part, up to the separator.
    static std::string sidebar(int row) {
        const std::string line = term().row(row);
        return line.substr(0, line.find("\xe2\x94\x82"));
    }

    // The two sidebar lines of the agent in window `number`: its mark and
    // name, and its state; empty when it is not listed.
    static std::pair<std::string, std::string> sidebar_entry(int number) {
        const std::string tag = "#" + std::to_string(number);
        for (int r = 0; r + 1 < STATUS_ROW; ++r) {
            std::string left = sidebar(r);
            while (left.ends_with(' ')) left.pop_back();
            if (left.size() > tag.size() && left.ends_with(tag)) {
                return {left, sidebar(r + 1)};
            }
        }
        return {};
    }
    static bool agent_shows(int number, std::string_view mark, std::string_view state) {
        const auto [head, below] = sidebar_entry(number);
        return head.find(mark) != std::string::npos && below.find(state) != std::string::npos;
    }
    static bool wait_agent_shows(int number, std::string_view mark, std::string_view state) {
        const bool shown = term().wait_for([&] { return agent_shows(number, mark, state); });
        EXPECT_TRUE(shown) << "window " << number << ": " << mark << " " << state << "\n" << term().screen();
        return shown;
    }

    // The lines that the recording notify-send wrote, from line `from` on. A
    // merged notification's body spans several lines.
    static std::vector<std::string> notifications(size_t from = 0) {
        std::vector<std::string> lines;
        std::ifstream f(s->notes);
        for (std::string line; std::getline(f, line);) lines.push_back(line);
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(std::min(from, lines.size())));
        return lines;
    }
    static size_t mentions(std::string_view text, size_t from) {
        const auto lines = notifications(from);
        return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        }));
    }

    // Runs a command line in the shell of window 0, which must be viewed;
    // its output and exit status come back.
    static std::string in_shell(const std::string& command) {
        const std::string out = s->home.dir() / ("out" + std::to_string(++s->runs));
        term().type("{ " + command + "; echo \"status $?\"; } > " + out + ".tmp 2>&1; mv " + out + ".tmp " + out +
                    "\r");
        EXPECT_TRUE(test::wait_for([&] { return ::access(out.c_str(), F_OK) == 0; })) << term().screen();
        return test::read_file(out);
    }

    static bool start_windows() {
        if (!term().wait_for_text("[ruk] 0:")) return false;
        term().type("cd " + s->proj + "\r");
        term().type("\x02" "c");
        if (!term().wait_for([] { return status_has(" 1:"); })) return false;
        term().type("cd " + s->proj + " && claude\r");
        if (!term().wait_for([] { return status_has("1:proj-claude*"); })) return false;
        term().type("\x02" "c");
        if (!term().wait_for([] { return status_has(" 2:"); })) return false;
        term().type("cd " + s->proj + " && FAKE_AGENT_LOG=" + s->typed.path() + " claude\r");
        if (!term().wait_for([] { return status_has("2:proj-claude-2*"); })) return false;
        term().type("\x02" "0");
        return term().wait_for([] { return viewing(0); });
    }

    // The window marked as viewed in the status bar is this one.
    static bool viewing(int number) {
        const std::string line = status();
        const size_t star = line.find('*');
        if (star == std::string::npos) return false;
        const size_t start = line.rfind(' ', star) + 1;
        return line.compare(start, line.find(':', start) - start, std::to_string(number)) == 0;
    }
};

TEST_F(AgentsFlow, TwoAgentsInOneRepositoryShareItsGroup) {
    // The first line counts the agents, a blank, the group's header with its
    // size, then two lines per agent.
    ASSERT_TRUE(term().wait_for([] { return sidebar(0).starts_with(" AGENTS (2)"); })) << term().screen();
    EXPECT_EQ(sidebar(1).find_first_not_of(' '), std::string::npos) << term().screen();
    EXPECT_TRUE(sidebar(2).starts_with(" proj ")) << term().screen();
    EXPECT_TRUE(sidebar(2).find(" 2 ") != std::string::npos) << term().screen();
    EXPECT_TRUE(term().cell_attrs(2, 1).bold);
    EXPECT_TRUE(sidebar(3).find("proj-claude ") != std::string::npos && sidebar(3).find("#1") != std::string::npos)
        << term().screen();
    EXPECT_TRUE(sidebar(4).find("idle \xC2\xB7 main") != std::string::npos) << term().screen();
    EXPECT_TRUE(sidebar(5).find("proj-claude-2 ") != std::string::npos && sidebar(5).find("#2") != std::string::npos)
        << term().screen();
    EXPECT_EQ(term().cell_attrs(3, 3).fg, 209) << "claude's colour on its name";

    const auto agents = s->home.ruk({"agents"});
    EXPECT_EQ(agents.status, 0);
    EXPECT_EQ(agents.out,
              "NAME           WINDOW  AGENT   STATE  QUEUED  PROJECT  BRANCH\n"
              "proj-claude    1       claude  idle   0       proj     main\n"
              "proj-claude-2  2       claude  idle   0       proj     main\n");
}

TEST_F(AgentsFlow, WorkThatEndsUnseenIsMarkedDoneAndNotifiedOnce) {
    EXPECT_EQ(s->home.ruk({"notify"}).out, "notifications are on, through notify-send\n");
    const size_t known = notifications().size();
    // Set to work and left at once, in one input: no tick sees it viewed.
    term().type("\x02" "2" "work 1.5\r" "\x02" "0");
    ASSERT_TRUE(wait_agent_shows(2, "\xE2\x9C\x93", "done")) << "the done mark, ✓";
    EXPECT_TRUE(wait_status("2:proj-claude-2+"));
    EXPECT_TRUE(test::wait_for([&] { return !notifications(known).empty(); }));
    EXPECT_EQ(notifications(known), std::vector<std::string>{"--app-name=ruk|--|proj-claude-2 is done|proj (main)|"});

    // Looking at it clears the mark; looking away does not bring it back.
    term().type("\x02" "2");
    EXPECT_TRUE(wait_status("2:proj-claude-2*"));
    EXPECT_TRUE(wait_agent_shows(2, "\xE2\x97\x8B", "idle"));
    term().type("\x02" "0");
    EXPECT_TRUE(wait_status("2:proj-claude-2 "));
    EXPECT_TRUE(agent_shows(2, "\xE2\x97\x8B", "idle")) << term().screen();
    EXPECT_EQ(notifications(known).size(), 1u);
}

TEST_F(AgentsFlow, AQuestionRaisesOneNotificationAndComesFirstForPrefixA) {
    const size_t known = notifications().size();
    // Unseen, window 1 finishes a short piece of work and window 2 asks.
    term().type("\x02" "1" "work 0.5\r" "\x02" "2" "ask\r" "\x02" "0");
    ASSERT_TRUE(wait_status("2:proj-claude-2!"));
    EXPECT_TRUE(wait_agent_shows(2, "\xE2\x97\x8F", "needs input")) << "the mark ●";
    EXPECT_TRUE(wait_status("1:proj-claude+"));
    // Alone or merged with the other, should both fall in one tick.
    EXPECT_TRUE(test::wait_for([&] {
        return mentions("proj-claude-2 needs input", known) == 1 && mentions("proj-claude is done", known) == 1;
    })) << test::read_file(s->notes);

    // Input wanted goes before work done, though window 1 is next in order.
    term().type("\x02" "a");
    EXPECT_TRUE(wait_status("2:proj-claude-2*"));
    EXPECT_TRUE(term().wait_for_text("Do you want to proceed?")) << term().screen();
    term().type("idle\r");
    EXPECT_TRUE(wait_agent_shows(2, "\xE2\x97\x8B", "idle"));
    term().type("\x02" "a");
    EXPECT_TRUE(wait_status("1:proj-claude*"));
    // Nobody left: prefix a stays. The prompt opened after it shows it was read.
    term().type("\x02" "a" "\x02" ":");
    ASSERT_TRUE(term().wait_for([] { return status().starts_with(" :"); })) << term().screen();
    term().type("\x1b");
    EXPECT_TRUE(wait_status("1:proj-claude*"));
    term().type("\x02" "0");
    EXPECT_TRUE(term().wait_for([] { return viewing(0); })) << term().screen();
    EXPECT_EQ(mentions("needs input", known), 1u) << test::read_file(s->notes);
}

TEST_F(AgentsFlow, MessagesWaitForAWorkingAgentAndArriveAsOnePasteThenEnter) {
    term().type("\x02" "2" "work\r" "\x02" "0");
    ASSERT_TRUE(wait_agent_shows(2, "", "working"));

    const auto outside = s->home.ruk({"send", "proj-claude-2", "hello", "there"});
    EXPECT_EQ(outside.status, 0);
    EXPECT_EQ(outside.out,
              "queued for proj-claude-2 (it is working); it will be delivered when proj-claude-2 is idle\n");
    // From the shell of window 0, read from standard input: signed by window 0.
    EXPECT_EQ(in_shell("echo hi | " + std::string(RUK_BINARY) + " send proj-claude-2 -"),
              "queued for proj-claude-2 (it is working); it will be delivered when proj-claude-2 is idle\nstatus 0\n");

    // Stopped in front of the user, so that no alert of its end holds up
    // another flow's.
    const size_t before = s->typed.pieces().size();
    term().type("\x02" "2" "stop\r");
    const std::string paste =
        "\x1b[200~"
        "[ruk] Message sent from outside ruk (no reply address).\nhello there\n\n"
        "[ruk] Message from agent '0' (another agent, not the user). Reply with: ruk send 0 \"<message>\"\nhi"
        "\x1b[201~";
    auto since_stop = [&] {
        const auto pieces = s->typed.pieces();
        std::string text;
        for (size_t i = before; i < pieces.size(); ++i) text += pieces[i].bytes;
        return text;
    };
    ASSERT_TRUE(test::wait_for([&] { return since_stop().ends_with("\r" + paste + "\r"); })) << since_stop();
    EXPECT_EQ(since_stop(), "stop\r" + paste + "\r");

    // The Enter came on its own, a while after the paste.
    const auto pieces = s->typed.pieces();
    std::optional<Clock::time_point> pasted, entered;
    for (size_t i = before; i < pieces.size(); ++i) {
        if (pieces[i].bytes.find("\x1b[201~") != std::string::npos) pasted = pieces[i].at;
        else if (pasted && pieces[i].bytes == "\r") entered = pieces[i].at;
    }
    ASSERT_TRUE(pasted && entered) << "the Enter arrived with the paste";
    EXPECT_GE(*entered - *pasted, 100ms);

    // The agent took the whole paste as one line of input.
    EXPECT_TRUE(term().wait_for_text("received: hello there")) << term().screen();
    EXPECT_TRUE(term().wait_for_text("received: hi")) << term().screen();
    term().type("\x02" "0");
    EXPECT_TRUE(wait_status("2:proj-claude-2 "));
}

TEST_F(AgentsFlow, AnAgentThatExitsGivesItsWindowTheProgramsNameBack) {
    term().type("\x02" "1" "quit\r");
    // Back to the shell: the window shows the shell's program name again.
    ASSERT_TRUE(term().wait_for([] { return status_has("1:dash*") || status_has("1:sh*"); })) << term().screen();
    EXPECT_TRUE(term().wait_for([] { return sidebar(0).starts_with(" AGENTS (1)"); })) << term().screen();
    EXPECT_TRUE(sidebar_entry(1).first.empty()) << term().screen();

    // The same agent started again takes the name again.
    term().type("claude\r");
    EXPECT_TRUE(wait_status("1:proj-claude*"));
    term().type("\x02" "0");
    EXPECT_TRUE(term().wait_for([] { return viewing(0); })) << term().screen();
}

// Without a graphical session the notification goes to the attached
// terminal as an escape sequence.
TEST(AgentsWithoutADisplay, FinishedWorkIsAnnouncedToTheTerminal) {
    RukHome home;
    const std::string solo = home.dir() / "solo";
    ::mkdir(solo.c_str(), 0700);
    test::write_file(home.home() + "/.profile", "PATH=" + FIXTURES + ":$PATH\nexport PATH\n");
    Terminal term(home, {},
                  test::EnvChanges{{"PS1", "$ "},
                                   {"DISPLAY", std::nullopt},
                                   {"WAYLAND_DISPLAY", std::nullopt},
                                   {"DBUS_SESSION_BUS_ADDRESS", std::nullopt}});
    ASSERT_TRUE(term.wait_for_text("[ruk] 0:")) << term.screen();
    EXPECT_EQ(home.ruk({"notify"}).out, "notifications are on, through the terminal (OSC 777)\n");

    term.type("cd " + solo + " && claude\r");
    ASSERT_TRUE(term.wait_for_text("0:solo-claude*")) << term.screen();
    const size_t mark = term.mark();
    // Set to work, then a new window takes the view before any tick.
    term.type("work 1\r" "\x02" "c");
    EXPECT_TRUE(term.wait_for_bytes("\x1b]777;notify;solo-claude is done;solo\x1b\\", mark)) << term.screen();
    EXPECT_TRUE(term.wait_for_text("0:solo-claude+")) << term.screen();
}

// Ten agents that sit idle cost the server next to nothing and send the
// client nothing at all.
TEST(IdleAgents, TenIdleAgentsCostLittleCpuAndNoOutput) {
    RukHome home;
    const std::string work = home.dir() / "work";
    ::mkdir(work.c_str(), 0700);
    test::write_file(home.home() + "/.profile", "PATH=" + FIXTURES + ":$PATH\nexport PATH\n");
    Terminal term(home, {}, test::EnvChanges{{"PS1", "$ "}});
    ASSERT_TRUE(term.wait_for_text("[ruk] 0:")) << term.screen();
    term.type("cd " + work + " && for i in 1 2 3 4 5 6 7 8 9 10; do " + RUK_BINARY +
              " new claude >/dev/null; done; echo started-all\r");
    ASSERT_TRUE(term.wait_for_text("started-all")) << term.screen();
    auto idle_agents = [&] {
        const std::string table = home.ruk({"agents"}).out;
        size_t idle = 0;
        for (size_t at = table.find("  idle  "); at != std::string::npos; at = table.find("  idle  ", at + 1)) ++idle;
        return idle;
    };
    ASSERT_TRUE(test::wait_for([&] { return idle_agents() == 10; })) << home.ruk({"agents"}).out;

    // Settled: a second without a byte to the client.
    size_t seen = term.mark();
    auto changed = Clock::now();
    ASSERT_TRUE(term.wait_for([&] {
        if (term.mark() != seen) {
            seen = term.mark();
            changed = Clock::now();
        }
        return Clock::now() - changed >= 1s;
    })) << term.screen();

    const auto servers = home.server_pids();
    ASSERT_EQ(servers.size(), 1u);
    auto cpu_ticks = [&] {
        std::ifstream f("/proc/" + std::to_string(servers[0]) + "/stat");
        std::string line;
        std::getline(f, line);
        std::istringstream fields(line.substr(line.rfind(')') + 2));
        std::string field;
        long long utime = 0, stime = 0;
        // After the name: state is field 3; utime and stime are fields 14 and 15.
        for (int n = 3; n <= 15 && fields >> field; ++n) {
            if (n == 14) utime = std::stoll(field);
            if (n == 15) stime = std::stoll(field);
        }
        return utime + stime;
    };
    const size_t mark = term.mark();
    const long long before = cpu_ticks();
    const auto start = Clock::now();
    // A span of ten ticks to measure over, not a wait for anything.
    std::this_thread::sleep_for(5s);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = double(cpu_ticks() - before) / double(::sysconf(_SC_CLK_TCK));
    EXPECT_EQ(term.bytes_since(mark), "");
    EXPECT_LT(cpu / seconds, 0.05) << cpu << " s of CPU in " << seconds << " s";
    std::printf("idle server: %.3f s of CPU in %.1f s with 10 agents\n", cpu, seconds);
}

}  // namespace
}  // namespace ruk
