// Other machines as a user meets them. A second ruk home on this host plays
// the other machine: a fake ssh (named by RUK_SSH) runs `ruk bridge` there
// with that home's directories, so a second server with its own instance
// serves it. One suite goes through a real OpenSSH server on 127.0.0.1
// instead, started for the test with its own keys and killed by pid.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "terminal_harness.h"
#include "test_support.h"

namespace ruk {
namespace {

using namespace std::chrono_literals;
using test::RukHome;
using test::Terminal;

constexpr int STATUS_ROW = 23;
const std::string FIXTURES = RUK_FIXTURES_BIN;

std::string quoted(const std::string& text) { return "'" + text + "'"; }

void make_executable(const std::string& path, const std::string& text) {
    test::write_file(path, text);
    ::chmod(path.c_str(), 0755);
}

// The lines of a file.
std::vector<std::string> lines_of(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream f(path);
    for (std::string line; std::getline(f, line);) lines.push_back(line);
    return lines;
}

class Remote : public ::testing::Test {
protected:
    RukHome local, far;
    test::TempDir tools;

    Remote() {
        ::mkdir((tools / "bin").c_str(), 0700);
        ::symlink(RUK_BINARY, (tools / "bin/ruk").c_str());
        // The far side's windows find the fake agents first.
        test::write_file(far.home() + "/.profile", "PATH=" + FIXTURES + ":$PATH\nexport PATH\n");
        // Host "far" is the second home, "self" this home itself; any other
        // host does not resolve. Every start is logged with its time.
        make_executable(tools / "ssh",
                        "#!/bin/sh\n"
                        "printf '%s\\n' \"$@\" > " + quoted(tools / "args") + "\n"
                        "date +%s.%N >> " + quoted(tools / "starts." ) + "\"$9\"\n"
                        "case \"$9\" in\n"
                        "far) XDG_RUNTIME_DIR=" + quoted(far.xdg_runtime()) + " XDG_CONFIG_HOME=" +
                            quoted(far.xdg_config()) + " HOME=" + quoted(far.home()) +
                            "; export XDG_RUNTIME_DIR XDG_CONFIG_HOME HOME ;;\n"
                        "self) ;;\n"
                        "*) echo \"ssh: Could not resolve hostname $9: Name or service not known\" >&2; exit 255 ;;\n"
                        "esac\n"
                        "PATH=" + quoted(tools / "bin") + ":$PATH; export PATH\n"
                        "exec sh -c \"exec ${10}\"\n");
    }

    test::EnvChanges with_ssh() const { return {{"RUK_SSH", tools / "ssh"}, {"PS1", "$ "}}; }

    std::unique_ptr<Terminal> attach() {
        auto term = std::make_unique<Terminal>(local, std::vector<std::string>{}, with_ssh(), 24, 100);
        EXPECT_TRUE(term->wait_for_text("0:")) << term->screen();
        return term;
    }

    // The sidebar's text (its 24 columns of every row).
    static std::string sidebar(const Terminal& term) {
        std::string out;
        for (int r = 0; r < STATUS_ROW; ++r) out += term.row(r).substr(0, 24) + "\n";
        return out;
    }
    std::string hosts() const { return local.ruk({"hosts"}).out; }
    bool hosts_show(const std::string& text, std::chrono::milliseconds deadline = 30s) const {
        return test::wait_for([&] { return hosts().find(text) != std::string::npos; }, deadline);
    }
};

TEST_F(Remote, ASavedMachineJoinsTheSidebarAndItsWindowsCanBeUsed) {
    const auto saved = local.ruk({"connect", "far"});
    EXPECT_EQ(saved.status, 0) << saved.err;
    EXPECT_EQ(saved.out.rfind("added far; ruk will connect to it when it starts", 0), 0u) << saved.out;

    auto term = attach();
    ASSERT_TRUE(hosts_show("online")) << hosts();
    EXPECT_EQ(lines_of(tools / "args"),
              (std::vector<std::string>{"-T", "-o", "BatchMode=yes", "-o", "ServerAliveInterval=15", "-o",
                                        "ServerAliveCountMax=3", "--", "far", "ruk bridge"}));
    ASSERT_EQ(far.server_pids().size(), 1u) << "the bridge started the far server";

    const auto started = far.ruk({"new", "claude", "--name", "trainer"});
    ASSERT_EQ(started.status, 0) << started.err;
    ASSERT_TRUE(term->wait_for([&] { return sidebar(*term).find("trainer") != std::string::npos; }))
        << term->screen();
    const std::string side = sidebar(*term);
    EXPECT_LT(side.find(" far "), side.find("trainer")) << "the agent is listed under its machine:\n" << side;
    const auto agents = local.ruk({"agents"});
    EXPECT_NE(agents.out.find("HOST"), std::string::npos);
    EXPECT_NE(agents.out.find("trainer  far"), std::string::npos) << agents.out;

    // View it through the switcher and type into it.
    term->type("\x02s");
    term->type("trainer");
    ASSERT_TRUE(term->wait_for_text("trainer")) << term->screen();
    term->type("\r");
    ASSERT_TRUE(term->wait_for([&] { return term->row(STATUS_ROW).find("[far] 0:trainer*") != std::string::npos; }))
        << term->screen();
    ASSERT_TRUE(term->wait_for_text("? for shortcuts")) << "the far window's screen:\n" << term->screen();
    term->type("hello from afar\r");
    EXPECT_TRUE(term->wait_for_text("hello from afar")) << term->screen();

    // A new window there from the keys becomes the view.
    term->type("\x02" "c");
    ASSERT_TRUE(term->wait_for([&] {
        const std::string bar = term->row(STATUS_ROW);
        const size_t second = bar.find(" 1:");
        return bar.rfind("[far] 0:trainer ", 0) == 0 && second != std::string::npos && bar.find('*', second) != std::string::npos;
    })) << term->screen();
    // An agent started there from here: the answer comes from the far server.
    const auto helper = local.ruk({"new", "pi", "--on", "far", "--name", "helper"});
    EXPECT_EQ(helper.out, "started helper on far\n") << helper.err;
    EXPECT_EQ(helper.status, 0);

    // The far server stops: the reason shows, then a fresh server is started
    // through the bridge a second later.
    const auto old_server = far.server_pids();
    ASSERT_EQ(far.ruk({"kill-server"}).status, 0);
    EXPECT_TRUE(term->wait_for_text("[far] offline, reconnecting: server killed")) << term->screen();
    EXPECT_EQ(term->cell_attrs(STATUS_ROW, 0).bg, 1) << "on red";
    ASSERT_TRUE(test::wait_for([&] {
        const auto now = far.server_pids();
        return now.size() == 1 && now != old_server;
    })) << "a fresh server runs there";
    ASSERT_TRUE(hosts_show("online")) << hosts();
    EXPECT_TRUE(term->wait_for([&] {
        const std::string bar = term->row(STATUS_ROW);
        return bar.rfind("[", 0) == 0 && bar.find("offline") == std::string::npos;
    })) << term->screen();

    EXPECT_EQ(local.ruk({"disconnect", "far"}).out, "disconnected from far\n");
    EXPECT_EQ(hosts(), "no machines connected (add one with: ruk connect HOST)\n");
    EXPECT_EQ(test::read_file(local.xdg_config() + "/ruk/hosts"), "# Machines ruk connects to: HOST [REMOTE-RUK-COMMAND]\n");
}

TEST_F(Remote, AHostThatDoesNotExistShowsSshsErrorAndBacksOff) {
    auto term = attach();
    const auto answer = local.ruk({"connect", "nowhere"}, "", with_ssh());
    EXPECT_EQ(answer.out.rfind("connecting to nowhere; it will reconnect automatically", 0), 0u) << answer.out;
    ASSERT_TRUE(hosts_show("ssh: Could not resolve hostname nowhere: Name or service not known")) << hosts();
    // The next attempts follow 1 and 2 seconds apart; the first is counted
    // in ticks from the one before the command, so it may come half a tick early.
    ASSERT_TRUE(test::wait_for([&] { return lines_of(tools / "starts.nowhere").size() >= 3; }, 20s));
    const auto starts = lines_of(tools / "starts.nowhere");
    const double first = std::stod(starts[1]) - std::stod(starts[0]);
    const double second = std::stod(starts[2]) - std::stod(starts[1]);
    EXPECT_GE(first, 0.45);
    EXPECT_GE(second, 1.9);
    EXPECT_TRUE(term->wait_for([&] { return sidebar(*term).find("ssh: Could not") != std::string::npos; }))
        << term->screen();
}

TEST_F(Remote, ReachingThisVeryServerIsRecognised) {
    auto term = attach();
    ASSERT_EQ(local.ruk({"connect", "self"}, "", with_ssh()).status, 0);
    ASSERT_TRUE(hosts_show("this is the machine ruk is running on")) << hosts();
    EXPECT_EQ(lines_of(tools / "starts.self").size(), 1u);
}

TEST_F(Remote, TheBridgeEndsWhenSshClosesItsInput) {
    const auto bridged = far.ruk({"bridge"});
    EXPECT_EQ(bridged.status, 0) << bridged.err;
    EXPECT_EQ(far.server_pids().size(), 1u) << "it started the server it joins";
}

// ---- through a real OpenSSH server -------------------------------------------

class RealSsh : public Remote {
protected:
    pid_t sshd = 0;
    int port = 0;

    void SetUp() override {
        if (::geteuid() != 0 || ::access("/usr/sbin/sshd", X_OK) != 0 || ::access("/usr/bin/ssh-keygen", X_OK) != 0)
            GTEST_SKIP() << "needs root and OpenSSH";
        ::mkdir("/run/sshd", 0755);  // sshd's privilege separation directory
        const std::string d = tools.path();
        ASSERT_EQ(test::run({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", d + "/host_key"}).status, 0);
        ASSERT_EQ(test::run({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", d + "/id"}).status, 0);
        test::write_file(d + "/authorized_keys", test::read_file(d + "/id.pub"));
        for (port = 20000 + ::getpid() % 20000; port < 65000; ++port) {
            test::write_file(d + "/sshd_config",
                             "Port " + std::to_string(port) + "\nListenAddress 127.0.0.1\nHostKey " + d +
                                 "/host_key\nPidFile " + d + "/sshd.pid\nAuthorizedKeysFile " + d +
                                 "/authorized_keys\nPermitRootLogin yes\nStrictModes no\nUsePAM no\n"
                                 "PasswordAuthentication no\nKbdInteractiveAuthentication no\nLogLevel ERROR\n");
            sshd = start_sshd(d);
            if (sshd > 0) break;
        }
        ASSERT_GT(sshd, 0) << "sshd did not start";
        test::write_file(d + "/ssh_config", "Host 127.0.0.1\n  Port " + std::to_string(port) + "\n  IdentityFile " + d +
                                                "/id\n  IdentitiesOnly yes\n  UserKnownHostsFile /dev/null\n"
                                                "  StrictHostKeyChecking no\n  LogLevel ERROR\n");
        make_executable(tools / "ssh", "#!/bin/sh\nexec ssh -F " + quoted(d + "/ssh_config") + " \"$@\"\n");
    }
    void TearDown() override {
        if (sshd > 0) {
            ::kill(sshd, SIGKILL);
            ::waitpid(sshd, nullptr, 0);
        }
    }

    // sshd in the foreground; 0 when it could not take the port.
    pid_t start_sshd(const std::string& d) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::execl("/usr/sbin/sshd", "/usr/sbin/sshd", "-D", "-f", (d + "/sshd_config").c_str(), nullptr);
            ::_exit(127);
        }
        // Up once it listens (its pid file), gone when the port was taken.
        const bool up = test::wait_for([&] {
            return ::access((d + "/sshd.pid").c_str(), F_OK) == 0 || ::waitpid(pid, nullptr, WNOHANG) == pid;
        }, 10s);
        if (!up || ::access((d + "/sshd.pid").c_str(), F_OK) != 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            return 0;
        }
        return pid;
    }

    // How to run ruk with a home's directories on the other side of ssh.
    static std::vector<std::string> ruk_for(const RukHome& home) {
        return {"env", "XDG_RUNTIME_DIR=" + home.xdg_runtime(), "XDG_CONFIG_HOME=" + home.xdg_config(),
                "HOME=" + home.home(), "SHELL=/bin/sh", RUK_BINARY};
    }
};

TEST_F(RealSsh, AMachineOverSshAndThisMachineOverSsh) {
    auto term = attach();
    std::vector<std::string> connect{"connect", "127.0.0.1"};
    for (const auto& word : ruk_for(far)) connect.push_back(word);
    const auto answer = local.ruk(connect, "", with_ssh());
    ASSERT_EQ(answer.status, 0) << answer.err;
    ASSERT_TRUE(hosts_show("online")) << hosts();

    ASSERT_EQ(far.ruk({"new", "claude", "--name", "over-ssh"}).status, 0);
    ASSERT_TRUE(test::wait_for([&] { return local.ruk({"agents"}).out.find("over-ssh  127.0.0.1") != std::string::npos; }))
        << local.ruk({"agents"}).out;
    term->type("\x02s");
    term->type("over-ssh\r");
    ASSERT_TRUE(term->wait_for_text("? for shortcuts")) << term->screen();
    term->type("typed over ssh\r");
    EXPECT_TRUE(term->wait_for_text("typed over ssh")) << term->screen();

    // The far server ends: the link says why, and ssh starts a fresh one there.
    const auto old_server = far.server_pids();
    ASSERT_EQ(far.ruk({"kill-server"}).status, 0);
    EXPECT_TRUE(term->wait_for_text("offline, reconnecting: server killed")) << term->screen();
    ASSERT_TRUE(test::wait_for([&] {
        const auto now = far.server_pids();
        return now.size() == 1 && now != old_server;
    })) << "a fresh server runs there";
    ASSERT_TRUE(hosts_show("online")) << hosts();

    // The same server reached through ssh: recognised and left alone.
    const std::string user = "root@127.0.0.1";
    std::vector<std::string> self{"connect", user};
    for (const auto& word : ruk_for(local)) self.push_back(word);
    ASSERT_EQ(local.ruk(self, "", with_ssh()).status, 0);
    EXPECT_TRUE(hosts_show("this is the machine ruk is running on")) << hosts();
}

}  // namespace
}  // namespace ruk
