// The commands as a user runs them: from a shell inside a window (the server
// finds the window from the calling process), from outside, and with no
// server at all, where the saved settings are edited directly.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "terminal_harness.h"
#include "test_support.h"

namespace ruk {
namespace {

using namespace std::chrono_literals;
using test::RukHome;
using test::Terminal;

class Commands : public ::testing::Test {
protected:
    RukHome home;
    std::string work = home.dir() / "work";
    std::string bin = home.dir() / "bin";

    Commands() {
        ::mkdir(work.c_str(), 0700);
        ::mkdir(bin.c_str(), 0700);
        // A login shell resets PATH from the system profile; the user's own
        // profile comes after it.
        test::write_file(home.home() + "/.profile", "PATH=" + bin + ":$PATH\nexport PATH\n");
    }

    std::unique_ptr<Terminal> attach() {
        auto term = std::make_unique<Terminal>(home, std::vector<std::string>{}, test::EnvChanges{{"PS1", "$ "}});
        EXPECT_TRUE(term->wait_for_text("[ruk] 0:")) << term->screen();
        return term;
    }

    // Runs a command line in the viewed window; its standard output and
    // error and its exit status end up in the returned text.
    std::string in_window(Terminal& term, const std::string& command) {
        const std::string out = home.dir() / ("out" + std::to_string(++m_runs));
        term.type("{ " + command + "; echo \"status $?\"; } > " + out + ".tmp 2>&1; mv " + out + ".tmp " + out + "\r");
        EXPECT_TRUE(test::wait_for([&] { return ::access(out.c_str(), F_OK) == 0; })) << term.screen();
        return test::read_file(out);
    }

    static std::string ruk() { return RUK_BINARY; }

private:
    int m_runs = 0;
};

TEST_F(Commands, NameFromInsideAndOutsideAWindow) {
    auto term = attach();
    auto outside = home.ruk({"name"});
    EXPECT_EQ(outside.status, 1);
    EXPECT_EQ(outside.err, "ruk: not running inside a ruk window\n");
    EXPECT_EQ(outside.out, "");

    EXPECT_EQ(in_window(*term, ruk() + " name"), "ruk: window 0 has no name\nstatus 1\n");
    EXPECT_EQ(in_window(*term, ruk() + " name api"), "status 0\n");
    EXPECT_EQ(in_window(*term, ruk() + " name"), "api\nstatus 0\n");
    EXPECT_TRUE(term->wait_for([&] { return term->row(23).find("0:api*") != std::string::npos; })) << term->screen();

    auto agents = home.ruk({"agents"});
    EXPECT_EQ(agents.status, 0);
    EXPECT_EQ(agents.out, "NAME  WINDOW  AGENT  STATE  QUEUED  PROJECT  BRANCH\n");
}

TEST_F(Commands, SwapWindowFollowsTheCallersWindow) {
    auto term = attach();
    for (int n = 1; n <= 5; ++n) {
        term->type("\x02" "c");
        ASSERT_TRUE(term->wait_for([&] { return term->row(23).find(" " + std::to_string(n) + ":") != std::string::npos; }))
            << term->screen();
    }
    EXPECT_EQ(in_window(*term, ruk() + " rename 3 three && " + ruk() + " name five"), "status 0\n");
    ASSERT_TRUE(term->wait_for([&] { return term->row(23).find("3:three ") != std::string::npos; })) << term->screen();
    EXPECT_TRUE(term->row(23).find("5:five*") != std::string::npos) << term->row(23);

    EXPECT_EQ(in_window(*term, ruk() + " swap-window 3"), "status 0\n");
    EXPECT_TRUE(term->wait_for([&] { return term->row(23).find("3:five*") != std::string::npos; })) << term->screen();
    EXPECT_TRUE(term->row(23).find("5:three") != std::string::npos) << term->row(23);
    // Next goes by the new numbers: after 3 comes 4.
    term->type("\x02n");
    auto viewed_number = [&] {
        const std::string row = term->row(23);
        const size_t star = row.find('*');
        const size_t start = row.rfind(' ', star);
        return star == std::string::npos ? std::string() : row.substr(start + 1, row.find(':', start) - start - 1);
    };
    EXPECT_TRUE(term->wait_for([&] { return viewed_number() == "4"; })) << term->row(23);
}

TEST_F(Commands, NewStartsTheAgentInTheCallersDirectory) {
    const std::string record = home.dir() / "claude-args";
    test::write_file(bin + "/claude", "#!/bin/sh\nprintf '%s|' \"$PWD\" \"$@\" > " + record + ".tmp; mv " + record +
                                          ".tmp " + record + "\n");
    ::chmod((bin + "/claude").c_str(), 0755);
    auto term = attach();

    EXPECT_EQ(in_window(*term, "cd " + work + " && " + ruk() + " new claude --name fixer -- --model x"),
              "started fixer (window 1)\nstatus 0\n");
    ASSERT_TRUE(test::wait_for([&] { return ::access(record.c_str(), F_OK) == 0; }));
    EXPECT_EQ(test::read_file(record), work + "|--model|x|");
    EXPECT_TRUE(term->wait_for([&] { return term->row(23).find("1:fixer") != std::string::npos; })) << term->screen();

    auto taken = home.ruk({"new", "claude", "--name", "fixer"});
    EXPECT_EQ(taken.status, 1);
    EXPECT_EQ(taken.err, "ruk: name 'fixer' is already taken\n");
    auto unknown = home.ruk({"new", "gpt"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.err, "ruk: unknown runtime 'gpt' (use one of: claude, codex, opencode, pi, grok)\n");
}

TEST_F(Commands, SavedSettingsWithoutAServer) {
    const std::string path = home.xdg_config() + "/ruk/hosts";
    struct Step {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    };
    const Step steps[] = {
        {{"hosts"}, 0, "no machines configured (add one with: ruk connect HOST)\n", ""},
        {{"connect", "b"}, 0, "added b; ruk will connect to it when it starts (saved in " + path + ")\n", ""},
        {{"connect", "me@build-server", "/opt/ruk", "--x"}, 0,
         "added me@build-server; ruk will connect to it when it starts (saved in " + path + ")\n", ""},
        {{"connect", "b"}, 1, "", "ruk: b is already in " + path + "\n"},
        {{"connect", "-oProxyCommand=x"}, 1, "", "ruk: '-oProxyCommand=x' is not a valid ssh destination\n"},
        {{"connect"}, 1, "", "ruk: no server running\n"},
        {{"hosts"}, 0,
         "HOST             STATUS\n"
         "b                not connected (ruk is not running)\n"
         "me@build-server  not connected (ruk is not running)\n",
         ""},
        {{"disconnect", "b"}, 0, "removed b\n", ""},
        {{"disconnect", "b"}, 1, "", "ruk: b is not in " + path + "\n"},
        {{"notify", "test"}, 1, "", "ruk: usage: ruk notify [on|off|test]   (test needs a running session)\n"},
        {{"notify", "loud"}, 1, "", "ruk: usage: ruk notify [on|off|test]   (test needs a running session)\n"},
        {{"notify"}, 0, "notifications are on\n", ""},
        {{"notify", "off"}, 0, "notifications are off\n", ""},
        {{"notify"}, 0, "notifications are off\n", ""},
        {{"notify", "on"}, 0, "notifications are on\n", ""},
        {{"notify"}, 0, "notifications are on\n", ""},
        {{"agents"}, 1, "", "ruk: no server running\n"},
        {{"name"}, 1, "", "ruk: no server running\n"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.args[0] + (step.args.size() > 1 ? " " + step.args[1] : ""));
        const auto got = home.ruk(step.args);
        EXPECT_EQ(got.status, step.status);
        EXPECT_EQ(got.out, step.out);
        EXPECT_EQ(got.err, step.err);
    }
    EXPECT_EQ(test::read_file(path),
              "# Machines ruk connects to: HOST [REMOTE-RUK-COMMAND]\nme@build-server /opt/ruk --x\n");
    EXPECT_TRUE(home.server_pids().empty()) << "no command started a server";
}

}  // namespace
}  // namespace ruk
