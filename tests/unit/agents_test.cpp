// Agent detection and state reading on made-up processes and screens: the
// name rule, the interpreter rule, the walk of a window's process tree, the
// Windows command-line splitting, the reading of screens and the debounce.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "agents/agent.h"
#include "agents/detect.h"
#include "agents/state.h"
#include "procs/command_line.h"
#include "procs/process_tree.h"
#include "screen/screen.h"

namespace ruk {
namespace {

using Args = std::vector<std::string>;

// ---- names ---------------------------------------------------------------

struct NameCase {
    std::string_view name;
    std::optional<Runtime> want;
};

const NameCase NAME_CASES[] = {
    {"claude", Runtime::Claude},
    {"Claude", std::nullopt},
    {"codex", Runtime::Codex},
    {"Codex", std::nullopt},
    {"codex-", Runtime::Codex},
    {"codex-x86_64-pc-windows-msvc", Runtime::Codex},
    {"codexx", std::nullopt},
    {"opencode", Runtime::Opencode},
    {"pi", Runtime::Pi},
    {"pip", std::nullopt},
    {"grok", Runtime::Grok},
    {"grok-linux-x64", Runtime::Grok},
    {"grok-linux-", Runtime::Grok},
    {"grok-linux", std::nullopt},
    {"grok-windows", std::nullopt},
    {"", std::nullopt},
};

TEST(RuntimeOfName, ExactNamesAndReleaseBuilds) {
    for (const auto& c : NAME_CASES) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(runtime_of_name(c.name), c.want);
    }
}

TEST(ParseRuntime, AcceptsTheFiveNamesOnly) {
    for (Runtime r : {Runtime::Claude, Runtime::Codex, Runtime::Opencode, Runtime::Pi, Runtime::Grok}) {
        auto got = parse_runtime(runtime_name(r));
        ASSERT_TRUE(got) << runtime_name(r);
        EXPECT_EQ(*got, r);
    }
    for (std::string_view bad : {"agent", "other", "Claude", "gemini", ""}) {
        auto got = parse_runtime(bad);
        ASSERT_FALSE(got) << bad;
        EXPECT_EQ(got.error().message,
                  "unknown runtime '" + std::string(bad) + "' (use one of: claude, codex, opencode, pi, grok)");
    }
}

// ---- examining one process ---------------------------------------------------

struct Process {
    std::optional<std::string> exe;
    std::optional<Args> command_line;
    std::optional<std::string> cwd = std::nullopt;
};

// A probe over a table of processes, counting what it was asked.
struct FakeSystem {
    std::map<pid_t, Process> processes;
    std::map<pid_t, int> asked;  // executable reads per pid
    std::map<pid_t, int> command_lines_read;

    ProcessProbe probe() {
        ProcessProbe p;
        p.executable = [this](pid_t pid) -> std::optional<std::string> {
            ++asked[pid];
            auto it = processes.find(pid);
            return it == processes.end() ? std::nullopt : it->second.exe;
        };
        p.command_line = [this](pid_t pid) -> std::optional<Args> {
            ++command_lines_read[pid];
            auto it = processes.find(pid);
            return it == processes.end() ? std::nullopt : it->second.command_line;
        };
        p.cwd = [this](pid_t pid) -> std::optional<std::string> {
            auto it = processes.find(pid);
            return it == processes.end() ? std::nullopt : it->second.cwd;
        };
        return p;
    }
};

struct ExamineCase {
    const char* what;
    Process process;
    std::optional<Runtime> want;
};

const ExamineCase EXAMINE_CASES[] = {
    {"executable name", {"/usr/local/bin/claude", Args{"claude"}}, Runtime::Claude},
    {"windows path and .EXE", {"C:\\Users\\me\\bin\\claude.EXE", std::nullopt}, Runtime::Claude},
    {"release build of codex", {"/opt/codex-x86_64-unknown-linux-musl", std::nullopt}, Runtime::Codex},
    {"case matters", {"/usr/bin/Codex", Args{"Codex"}}, std::nullopt},
    {"a shell", {"/usr/bin/bash", Args{"-bash"}}, std::nullopt},
    {"retitled process: the command line decides", {"/usr/bin/node", Args{"claude", "--resume"}}, Runtime::Claude},
    {"unreadable executable", {std::nullopt, Args{"/home/me/.local/bin/opencode"}}, Runtime::Opencode},
    {"claude package, backslashes",
     {"C:\\Program Files\\nodejs\\node.exe",
      Args{"C:\\Program Files\\nodejs\\node.exe", "C:\\Users\\me\\node_modules\\@anthropic-ai\\claude-code\\cli.js"}},
     Runtime::Claude},
    {"codex package under bun", {"/usr/bin/bun", Args{"bun", "/x/node_modules/@openai/codex/bin/codex.js"}}, Runtime::Codex},
    {"pi package under npx",
     {"/usr/bin/npx", Args{"npx", "/usr/lib/node_modules/@mariozechner/pi-coding-agent/dist/cli.js"}},
     Runtime::Pi},
    {"pi-coding-agent needs both slashes", {"/usr/bin/node", Args{"node", "pi-coding-agent/cli.js"}}, std::nullopt},
    {"script named after an agent, .mjs", {"/usr/bin/node", Args{"node", "C:\\x\\opencode.mjs"}}, Runtime::Opencode},
    {"script named after an agent, .js, deno", {"/usr/bin/deno", Args{"deno", "grok.js"}}, Runtime::Grok},
    {"bunx with a bare name", {"/usr/bin/bunx", Args{"bunx", "codex"}}, Runtime::Codex},
    {"interpreter named node.EXE", {std::nullopt, Args{"D:\\tools\\node.EXE", "D:\\a\\pi.js"}}, Runtime::Pi},
    {"other script extensions do not count", {"/usr/bin/node", Args{"node", "claude.ts"}}, std::nullopt},
    {"node without a script", {"/usr/bin/node", Args{"node"}}, std::nullopt},
    {"not an interpreter", {"/usr/bin/python3", Args{"python3", "/x/@anthropic-ai/claude-code/cli.js"}}, std::nullopt},
    {"empty command line", {"/usr/bin/node", Args{}}, std::nullopt},
    {"nothing readable", {std::nullopt, std::nullopt}, std::nullopt},
};

TEST(Examine, NameRuleThenCommandLineThenInterpreterRule) {
    for (const auto& c : EXAMINE_CASES) {
        SCOPED_TRACE(c.what);
        FakeSystem sys;
        sys.processes[7] = c.process;
        EXPECT_EQ(examine(7, sys.probe()), c.want);
    }
}

TEST(Examine, ReadsTheCommandLineOnlyWhenTheExecutableDidNotDecide) {
    FakeSystem sys;
    sys.processes[7] = {"/usr/bin/claude", Args{"claude"}};
    sys.processes[8] = {"/usr/bin/node", Args{"claude"}};
    EXPECT_EQ(examine(7, sys.probe()), Runtime::Claude);
    EXPECT_EQ(sys.command_lines_read[7], 0);
    EXPECT_EQ(examine(8, sys.probe()), Runtime::Claude);
    EXPECT_EQ(sys.command_lines_read[8], 1);
}

TEST(ProgramFileName, EitherSlashAndExeInAnyCase) {
    EXPECT_EQ(program_file_name("/usr/bin/node"), "node");
    EXPECT_EQ(program_file_name("C:\\bin/x\\Node.Exe"), "Node");
    EXPECT_EQ(program_file_name("a.exe.exe"), "a.exe");
    EXPECT_EQ(program_file_name(".exe"), "");
    EXPECT_EQ(program_file_name("dir/"), "");
}

// ---- walking a window's tree ----------------------------------------------------

struct TreeCase {
    const char* what;
    std::vector<sys::ProcessEntry> tree;  // (pid, parent)
    std::map<pid_t, Process> processes;
    pid_t foreground;
    std::optional<DetectedAgent> want;
};

const Process SHELL{"/usr/bin/bash", Args{"bash"}};
const Process PWSH{"C:\\Program Files\\PowerShell\\7\\pwsh.exe", Args{"pwsh"}};
Process agent(const char* exe, std::optional<std::string> cwd) { return {exe, Args{exe}, std::move(cwd)}; }

const TreeCase TREE_CASES[] = {
    {"the shell is examined, then its child",
     {{100, 1}, {200, 100}},
     {{100, PWSH}, {200, agent("C:\\bin\\claude.exe", "C:\\src\\app")}},
     200,
     DetectedAgent{Runtime::Claude, 200, "C:\\src\\app"}},
    {"no agent anywhere", {{100, 1}, {200, 100}, {300, 200}}, {{100, SHELL}, {200, SHELL}, {300, SHELL}}, 300, std::nullopt},
    {"an agent started by an agent: the outer one",
     {{100, 1}, {200, 100}, {300, 200}},
     {{100, SHELL}, {200, agent("codex", "/p")}, {300, agent("claude", "/q")}},
     300,
     DetectedAgent{Runtime::Codex, 200, "/p"}},
    {"two siblings: the foreground one",
     {{100, 1}, {200, 100}, {300, 100}},
     {{100, SHELL}, {200, agent("claude", "/a")}, {300, agent("codex", "/b")}},
     300,
     DetectedAgent{Runtime::Codex, 300, "/b"}},
    {"two siblings, foreground elsewhere: the first found",
     {{100, 1}, {300, 100}, {200, 100}},
     {{100, SHELL}, {200, agent("claude", "/a")}, {300, agent("codex", "/b")}},
     100,
     DetectedAgent{Runtime::Claude, 200, "/a"}},
    {"depth first, smallest child first",
     {{100, 1}, {300, 100}, {310, 300}, {200, 100}, {250, 200}},
     {{100, SHELL}, {200, SHELL}, {300, SHELL}, {310, agent("claude", "/a")}, {250, agent("pi", "/b")}},
     0,
     DetectedAgent{Runtime::Pi, 250, "/b"}},
    {"an unreadable process is looked through",
     {{100, 1}, {200, 100}},
     {{100, {std::nullopt, std::nullopt}}, {200, agent("grok-linux-x64", std::nullopt)}},
     0,
     DetectedAgent{Runtime::Grok, 200, std::nullopt}},
    {"the root itself", {{100, 1}}, {{100, agent("opencode", "/o")}}, 100, DetectedAgent{Runtime::Opencode, 100, "/o"}},
};

TEST(DetectAgent, WalksTheWindowTree) {
    for (const auto& c : TREE_CASES) {
        SCOPED_TRACE(c.what);
        FakeSystem sys;
        sys.processes = c.processes;
        const auto tree = ProcessTree::from_snapshot(c.tree);
        EXPECT_EQ(detect_agent(tree, 100, c.foreground, sys.probe()), c.want);
    }
}

TEST(DetectAgent, NeverLooksBelowAnAgentNorOutsideTheWindow) {
    FakeSystem sys;
    sys.processes = {{100, SHELL}, {200, agent("codex", "/p")}, {300, SHELL}, {400, SHELL}};
    // 300 runs below the agent; 400 is another window's process.
    const std::vector<sys::ProcessEntry> entries{{100, 1}, {200, 100}, {300, 200}, {400, 1}, {0, 0}};
    int listed = 0;
    ProcessTree tree([&](pid_t pid) {
        ++listed;
        std::vector<pid_t> out;
        for (const auto& e : entries)
            if (e.parent == pid && e.pid != 0) out.push_back(e.pid);
        return out;
    });
    ASSERT_TRUE(detect_agent(tree, 100, 0, sys.probe()));
    EXPECT_EQ(sys.asked.count(300), 0u);
    EXPECT_EQ(sys.asked.count(400), 0u);
    EXPECT_EQ(listed, 1) << "only the shell's children are listed";
    // The same tree serves a second window without listing again.
    ASSERT_TRUE(detect_agent(tree, 100, 0, sys.probe()));
    EXPECT_EQ(listed, 1);
}

TEST(ProcessTree, SnapshotChildrenAscendingWithoutPidZero) {
    const std::vector<sys::ProcessEntry> entries{{30, 1}, {10, 1}, {20, 1}, {0, 1}, {40, 30}};
    const auto tree = ProcessTree::from_snapshot(entries);
    EXPECT_EQ(tree.children(1), (std::vector<pid_t>{10, 20, 30}));
    EXPECT_EQ(tree.children(30), (std::vector<pid_t>{40}));
    EXPECT_TRUE(tree.children(99).empty());
}

TEST(ProcessTree, TheLiveTreeSeesOurOwnChildren) {
    // A real child of this test process is listed under it.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::pause();
        ::_exit(0);
    }
    const auto tree = build_process_tree();
    const auto& children = tree.children(::getpid());
    const bool found = std::find(children.begin(), children.end(), child) != children.end();
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(found);
}

// ---- Windows command lines ---------------------------------------------------------

struct SplitCase {
    std::string_view line;
    Args want;
};

const SplitCase SPLIT_CASES[] = {
    {"", {}},
    {"prog", {"prog"}},
    {"\"C:\\Program Files\\app.exe\" a b", {"C:\\Program Files\\app.exe", "a", "b"}},
    {"C:\\x\\node.exe \"C:\\a b\\cli.js\" --x", {"C:\\x\\node.exe", "C:\\a b\\cli.js", "--x"}},
    // The program name takes no escapes: its quote ends at the next quote.
    {"\"p\\\"q\" r", {"p\\", "q r"}},
    {"\"C:\\x y\\p.exe", {"C:\\x y\\p.exe"}},
    {"p \t a\t\tb  ", {"p", "a", "b"}},
    {"p \"\"", {"p", ""}},
    {"p a\\b\\\\c", {"p", "a\\b\\\\c"}},
    {"p a\\\\\"b c\"", {"p", "a\\b c"}},
    {"p a\\\\\\\"b", {"p", "a\\\"b"}},
    {"p \\\"x\\\"", {"p", "\"x\""}},
    {"p \"a\"\"b\" c", {"p", "a\"b", "c"}},
    {"p \"a b\"c d", {"p", "a bc", "d"}},
    {"p \"unterminated arg", {"p", "unterminated arg"}},
};

TEST(SplitWindowsCommandLine, ProgramNameThenQuotedAndEscapedArguments) {
    for (const auto& c : SPLIT_CASES) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(split_windows_command_line(c.line), c.want);
    }
}

// ---- reading screens ------------------------------------------------------------------

// A screen of that size showing the lines at its top.
AgentState reading(const std::vector<std::string>& lines, int rows = 24, int cols = 80) {
    Screen screen(rows, cols);
    std::string bytes;
    for (size_t i = 0; i < lines.size(); ++i) bytes += (i ? "\r\n" : "") + lines[i];
    screen.feed(bytes);
    return screen_state(screen);
}

struct ScreenCase {
    const char* what;
    std::vector<std::string> lines;
    AgentState want;
};

const AgentState IDLE = AgentState::Idle, WORKING = AgentState::Working, ASKS = AgentState::NeedsInput;

const ScreenCase SCREEN_CASES[] = {
    {"nothing", {}, IDLE},
    {"a plain prompt", {"> ", "  ? for shortcuts"}, IDLE},
    // Approval line.
    {"allow once and reject on one row", {"  Allow once     Allow always     Reject"}, ASKS},
    {"allow once and reject on two rows", {"Allow once", "Reject"}, IDLE},
    // Form line.
    {"form", {"Edit file", "Enter submit · Esc dismiss"}, ASKS},
    {"form halves on two rows", {"enter submit", "esc dismiss"}, IDLE},
    // Question with a choice.
    {"pointer then option", {"Do you want to proceed?", "❯ 1. Yes", "  2. No"}, ASKS},
    {"option then pointer", {"Would you like to run the following command?", "  1. Yes", "› 2. No"}, ASKS},
    {"arrow pointer, trust question", {"Yes, I trust this folder?", "→ Trust", "  Quit"}, ASKS},
    {"pointer indented, letters", {"Allow this edit?", "   ❯ Yes", "  No"}, ASKS},
    {"letters of any script", {"Do you want to", "❯ 是", "  否"}, ASKS},
    {"pointer without an option beside it", {"Do you want to proceed?", "❯ 1. Yes"}, IDLE},
    {"neighbour not indented", {"Do you want to proceed?", "❯ 1. Yes", "2. No"}, IDLE},
    {"neighbour indented by one", {"Do you want to proceed?", "❯ 1. Yes", " 2. No"}, IDLE},
    {"pointer at a symbol", {"Do you want to proceed?", "❯ ...", "  2. No"}, IDLE},
    {"no question", {"❯ 1. Yes", "  2. No"}, IDLE},
    {"question without a choice falls through to the hint",
     {"Do you want to proceed?", "❯ 1. Yes", "✻ Thinking… (esc to interrupt)"},
     WORKING},
    // Radio list.
    {"two radio rows", {"› (●) Allow", "  · (○) Deny"}, ASKS},
    {"radio rows behind bars", {"┃  1 (●) Yes", "┃┃ 2 (○) No"}, ASKS},
    {"one radio row", {"› (●) Allow"}, IDLE},
    {"radio without a marker", {"(●) Allow", "(○) Deny"}, IDLE},
    {"marker of two characters", {"›› (●) Allow", "›› (○) Deny"}, IDLE},
    {"two blanks after the marker", {"›  (●) Allow", "›  (○) Deny"}, IDLE},
    // Interrupt hints.
    {"esc to interrupt", {"✻ Thinking… (12s · esc to interrupt)"}, WORKING},
    {"upper case", {"ESC TO INTERRUPT"}, WORKING},
    {"esc interrupt", {"⠋ ■■■ esc interrupt"}, WORKING},
    {"esc again to interrupt", {"press esc again to interrupt"}, WORKING},
    // Spinners.
    {"braille spinner", {"  ⠹ Working...  "}, WORKING},
    {"braille spinner, upper case", {"⠹ WORKING..."}, WORKING},
    {"blank braille is no spinner", {"⠀ Working..."}, IDLE},
    {"more words after", {"⠹ Working... on it"}, IDLE},
    {"stop marker at the end", {"Thinking 3s          [stop]   "}, WORKING},
    {"stop marker inside", {"[stop] here"}, IDLE},
    // Order.
    {"a question beats a hint", {"esc to interrupt", "allow once | reject"}, ASKS},
};

TEST(ScreenState, ReadsTheRowsInOrder) {
    for (const auto& c : SCREEN_CASES) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(reading(c.lines), c.want);
    }
}

TEST(ScreenState, ReadsTheLastThirtyRowsOfTheActiveGrid) {
    // On 50 rows the top 20 are not read; on 24 all are.
    std::vector<std::string> lines(50, "");
    lines[19] = "esc to interrupt";
    EXPECT_EQ(reading(lines, 50), IDLE);
    lines[20] = "esc to interrupt";
    EXPECT_EQ(reading(lines, 50), WORKING);
    EXPECT_EQ(reading({"esc to interrupt"}, 24), WORKING);

    // The alternate grid when it is shown, the main one otherwise.
    Screen screen(24, 80);
    screen.feed("esc to interrupt\x1b[?1049h\x1b[H> ");
    EXPECT_EQ(screen_state(screen), IDLE);
    screen.feed("\x1b[?1049l");
    EXPECT_EQ(screen_state(screen), WORKING);
    screen.feed("\x1b[?1049h\x1b[Hallow once  reject");
    EXPECT_EQ(screen_state(screen), ASKS);

    // Scrolling back does not change what is read.
    Screen scrolled(5, 40);
    scrolled.feed("esc to interrupt\r\n\r\n\r\n\r\n\r\n\r\n\r\n> ");
    scrolled.set_scrollback_offset(3);
    EXPECT_EQ(screen_state(scrolled), IDLE);
}

// ---- taking readings into the state ---------------------------------------------------

struct UpdateCase {
    const char* what;
    AgentState state;
    bool done;
    uint8_t idle_ticks;
    AgentState reading;
    bool viewing;
    AgentState want_state;
    bool want_done;
    uint8_t want_idle_ticks;
};

const UpdateCase UPDATE_CASES[] = {
    {"idle stays idle", IDLE, false, 0, IDLE, false, IDLE, false, 0},
    {"done stays while nobody looks", IDLE, true, 0, IDLE, false, IDLE, true, 0},
    {"done goes when looked at", IDLE, true, 0, IDLE, true, IDLE, false, 0},
    {"idle starts working", IDLE, true, 0, WORKING, false, WORKING, false, 0},
    {"idle asks", IDLE, true, 0, ASKS, false, ASKS, false, 0},
    {"working goes on", WORKING, false, 0, WORKING, false, WORKING, false, 0},
    {"working asks", WORKING, false, 0, ASKS, false, ASKS, false, 0},
    {"first idle reading is held", WORKING, false, 0, IDLE, false, WORKING, false, 1},
    {"second idle reading: done", WORKING, false, 1, IDLE, false, IDLE, true, 0},
    {"second idle reading while viewed: not done", WORKING, false, 1, IDLE, true, IDLE, false, 0},
    {"work resumes after one idle reading", WORKING, false, 1, WORKING, false, WORKING, false, 0},
    {"a question after one idle reading", WORKING, false, 1, ASKS, false, ASKS, false, 0},
    {"answered question: idle, not done", ASKS, false, 0, IDLE, false, IDLE, false, 0},
    {"question then work", ASKS, false, 0, WORKING, false, WORKING, false, 0},
};

TEST(UpdateAgentState, DebounceAndDone) {
    for (const auto& c : UPDATE_CASES) {
        SCOPED_TRACE(c.what);
        Agent a;
        a.state = c.state;
        a.done = c.done;
        a.idle_ticks = c.idle_ticks;
        update_agent_state(a, c.reading, c.viewing);
        EXPECT_EQ(a.state, c.want_state);
        EXPECT_EQ(a.done, c.want_done);
        EXPECT_EQ(a.idle_ticks, c.want_idle_ticks);
    }
}

TEST(UpdateAgentState, ABlinkOfIdleIsNotDone) {
    Agent a;
    a.state = WORKING;
    for (AgentState r : {IDLE, WORKING, IDLE, WORKING, IDLE, ASKS, IDLE, IDLE}) {
        update_agent_state(a, r, false);
        EXPECT_FALSE(a.done);
    }
    EXPECT_EQ(a.state, IDLE);
}

}  // namespace
}  // namespace ruk
