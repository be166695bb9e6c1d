#include "server/shell_line.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"

namespace ruk {
namespace {

using test::ScopedEnv;
using test::TempDir;

struct QuoteCase {
    std::string_view text, windows, powershell, posix;
};

const QuoteCase QUOTE_CASES[] = {
    {"claude", "claude", "claude", "claude"},
    {"", "\"\"", "''", "''"},
    {"x y", "\"x y\"", "'x y'", "'x y'"},
    {"it's", "it's", "'it''s'", "'it'\\''s'"},
    {"a\tb", "\"a\tb\"", "'a\tb'", "'a\tb'"},
    {"--model=a:b/c@d%e+f,g", "--model=a:b/c@d%e+f,g", "'--model=a:b/c@d%e+f,g'", "--model=a:b/c@d%e+f,g"},
    {"C:\\tools\\bash.exe", "C:\\tools\\bash.exe", "C:\\tools\\bash.exe", "'C:\\tools\\bash.exe'"},
    {"say \"hi\"", "\"say \\\"hi\\\"\"", "'say \"hi\"'", "'say \"hi\"'"},
    // Backslashes before a quote double and gain one; before the closing quote they double.
    {"a\\\\\"b", "\"a\\\\\\\\\\\"b\"", "'a\\\\\"b'", "'a\\\\\"b'"},
    {"C:\\my dir\\", "\"C:\\my dir\\\\\"", "'C:\\my dir\\'", "'C:\\my dir\\'"},
    {"a\\b c", "\"a\\b c\"", "'a\\b c'", "'a\\b c'"},
    {"$HOME;`x`", "$HOME;`x`", "'$HOME;`x`'", "'$HOME;`x`'"},
    {"h\xC3\xA9llo", "h\xC3\xA9llo", "'h\xC3\xA9llo'", "'h\xC3\xA9llo'"},
    // PowerShell also closes a single-quoted string at a curly quote.
    {"it\xE2\x80\x99s", "it\xE2\x80\x99s", "'it\xE2\x80\x99\xE2\x80\x99s'", "'it\xE2\x80\x99s'"},
};

TEST(Quoting, ThreeFamilies) {
    for (const auto& c : QUOTE_CASES) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(quote_windows_arg(c.text), c.windows);
        EXPECT_EQ(quote_powershell_arg(c.text), c.powershell);
        EXPECT_EQ(quote_posix_arg(c.text), c.posix);
    }
}

TEST(ShellKind, FromFileStem) {
    const std::pair<std::string_view, ShellKind> cases[] = {
        {"C:\\tools\\bash.exe", ShellKind::Posix},
        {"C:\\Windows\\System32\\CMD.EXE", ShellKind::Cmd},
        {"cmd", ShellKind::Cmd},
        {"/usr/bin/pwsh", ShellKind::PowerShell},
        {"C:\\Windows\\PowerShell.exe", ShellKind::PowerShell},
        {"/opt/cmd.d/zsh", ShellKind::Posix},
        {"C:\\tools\\", ShellKind::Posix},
        {"", ShellKind::Posix},
    };
    for (const auto& [path, kind] : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(shell_kind(path), kind);
    }
}

struct LineCase {
    std::string_view shell;
    std::vector<std::string> args;
    std::string_view line;
};

const LineCase LINE_CASES[] = {
    {"C:\\tools\\bash.exe", {}, "C:\\tools\\bash.exe -l"},
    {"C:\\tools\\bash.exe", {"claude", "--model", "x y"},
     "C:\\tools\\bash.exe -l -i -c \"claude --model 'x y'; exec 'C:\\tools\\bash.exe' -l\""},
    {"/bin/bash", {"claude", "it's", ""}, "/bin/bash -l -i -c \"claude 'it'\\''s' ''; exec /bin/bash -l\""},
    {"/bin/bash", {"echo", "say \"hi\""}, "/bin/bash -l -i -c \"echo 'say \\\"hi\\\"'; exec /bin/bash -l\""},
    {"C:\\Program Files\\Git\\bin\\bash.exe", {}, "\"C:\\Program Files\\Git\\bin\\bash.exe\" -l"},
    {"C:\\Program Files\\PowerShell\\7\\pwsh.exe", {}, "\"C:\\Program Files\\PowerShell\\7\\pwsh.exe\" -NoLogo"},
    {"powershell.exe", {"claude", "it's", ""}, "powershell.exe -NoLogo -NoExit -Command \"& claude 'it''s' ''\""},
    {"C:\\Windows\\System32\\cmd.exe", {}, "C:\\Windows\\System32\\cmd.exe"},
    {"cmd.exe", {"claude", "it's", "C:\\my dir\\", ""}, "cmd.exe /s /k \"claude it's \"C:\\my dir\\\\\" \"\"\""},
};

TEST(BuildCommandLine, EachFamily) {
    for (const auto& c : LINE_CASES) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(build_command_line(c.shell, c.args), c.line);
    }
}

TEST(ShellArgv, PlainShellAndAgent) {
    EXPECT_EQ(shell_argv("/bin/bash", {}), (std::vector<std::string>{"/bin/bash", "-l"}));
    EXPECT_EQ(shell_argv("/bin/bash", {"claude", "--model", "x y"}),
              (std::vector<std::string>{"/bin/bash", "-l", "-i", "-c", "claude --model 'x y'; exec /bin/bash -l"}));
    EXPECT_EQ(shell_argv("/opt/my shell/zsh", {"codex"}),
              (std::vector<std::string>{"/opt/my shell/zsh", "-l", "-i", "-c", "codex; exec '/opt/my shell/zsh' -l"}));
}

// The words reach the program intact through a real shell, then the login
// shell takes over (and ends at once on the closed input).
TEST(ShellArgv, RunsThroughRealShell) {
    TempDir home;
    const test::EnvChanges env = {{"HOME", home.path()}, {"ENV", std::nullopt}};
    auto run = test::run(shell_argv("/bin/sh", {"printf", "%s|", "a b", "it's"}), env);
    EXPECT_EQ(run.out, "a b|it's|");
    EXPECT_EQ(run.status, 0) << run.err;

    const std::vector<std::string> nasty = {"", "$HOME", "`id`", "a\\b", "\"q\"", "x'\"'y", "; exit 3", "h\xC3\xA9"};
    std::vector<std::string> args = {"printf", "%s|"};
    std::string want;
    for (const auto& word : nasty) {
        args.push_back(word);
        want += word + "|";
    }
    run = test::run(shell_argv("/bin/sh", args), env);
    EXPECT_EQ(run.out, want);
}

struct ChooseCase {
    std::string_view name;
    std::optional<std::string> shell;       // "@/" stands for the temporary directory
    std::string path;
    std::optional<std::string> comspec;
    std::string want;
};

std::string expand(std::string text, const std::string& dir) {
    if (text.starts_with("@/")) text.replace(0, 1, dir);
    for (size_t at; (at = text.find(":@/")) != std::string::npos;) text.replace(at + 1, 1, dir);
    return text;
}

TEST(ChooseShell, FirstMatchWins) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "ps").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "pwsh").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "empty").c_str(), 0755), 0);
    test::write_file(dir / "ps/powershell.exe", "");
    test::write_file(dir / "pwsh/pwsh.exe", "");
    test::write_file(dir / "zsh", "");
    const ChooseCase cases[] = {
        {"shell unset", std::nullopt, "@/ps", std::nullopt, "@/ps/powershell.exe"},
        {"shell missing", "@/nothing", "@/ps", std::nullopt, "@/ps/powershell.exe"},
        {"shell a directory", "@/ps", "@/ps", std::nullopt, "@/ps/powershell.exe"},
        {"shell exists", "@/zsh", "@/ps", std::nullopt, "@/zsh"},
        {"pwsh before powershell", std::nullopt, "@/ps:@/pwsh", std::nullopt, "@/pwsh/pwsh.exe"},
        {"comspec", std::nullopt, "@/empty", "C:\\Windows\\system32\\cmd.exe", "C:\\Windows\\system32\\cmd.exe"},
        {"empty comspec", std::nullopt, "@/empty", "", "/bin/sh"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedEnv shell("SHELL", c.shell ? std::optional(expand(*c.shell, dir.path())) : std::nullopt);
        ScopedEnv path("PATH", expand(c.path, dir.path()));
        ScopedEnv comspec("COMSPEC", c.comspec);
        EXPECT_EQ(choose_shell(), expand(c.want, dir.path()));
    }
}

TEST(ChildEnvironment, ReplacesOursAndSorts) {
    ScopedEnv columns("COLUMNS", "80"), lines("lines", "24");
    ScopedEnv term("TERM", "dumb"), term_lower("term", "vt100");
    ScopedEnv ruk("RUK", "/old.sock"), window("Ruk_Window", "9");
    ScopedEnv keep("RUK_TEST_KEEP", "a=b"), keep_lower("ruk_test_keep", "c");

    const auto env = child_environment("/run/ruk/default.sock", 7);
    auto count = [&](std::string_view name) {
        return std::count_if(env.begin(), env.end(), [&](const std::string& e) {
            const auto n = e.substr(0, e.find('='));
            return std::equal(n.begin(), n.end(), name.begin(), name.end(),
                              [](char a, char b) { return std::toupper(a) == std::toupper(b); });
        });
    };
    auto has = [&](std::string_view entry) { return std::find(env.begin(), env.end(), entry) != env.end(); };
    EXPECT_EQ(count("COLUMNS"), 0);
    EXPECT_EQ(count("LINES"), 0);
    EXPECT_EQ(count("TERM"), 1);
    EXPECT_EQ(count("RUK"), 1);
    EXPECT_EQ(count("RUK_WINDOW"), 1);
    EXPECT_TRUE(has("TERM=xterm-256color"));
    EXPECT_TRUE(has("RUK=/run/ruk/default.sock"));
    EXPECT_TRUE(has("RUK_WINDOW=7"));
    // Other names pass through as they were, and a differently cased twin is another variable.
    EXPECT_TRUE(has("RUK_TEST_KEEP=a=b"));
    EXPECT_TRUE(has("ruk_test_keep=c"));
    EXPECT_TRUE(has(std::string("PATH=") + std::getenv("PATH")));

    auto key = [](const std::string& e) {
        std::string name = e.substr(0, e.find('='));
        for (auto& ch : name) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        return name;
    };
    EXPECT_TRUE(std::is_sorted(env.begin(), env.end(), [&](const auto& a, const auto& b) { return key(a) < key(b); }));
}

}  // namespace
}  // namespace ruk
