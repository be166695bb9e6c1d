// The real `ruk` binary: dispatch and exit statuses, starting and stopping the
// server, one server per runtime directory, and a server that survives bad
// input and strangers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <random>
#include <thread>

#include "protocol/messages.h"
#include "server/lifecycle.h"
#include "sys/sys.h"
#include "test_support.h"
#include "texts.h"

namespace ruk {
namespace {

using namespace std::chrono_literals;
using test::RukHome;
using test::ScopedEnv;

const std::string FULL_HELP = std::string(USAGE_TEXT) + "\n\n" + std::string(KEYS_TEXT) + "\n";

bool alive(pid_t pid) {
    std::string stat = test::read_file("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// Reads until the other side closes; false if it did not within the deadline.
bool closed_by_peer(int fd, std::chrono::seconds within = 20s) {
    (void)sys::set_recv_timeout(fd, within);
    uint8_t buffer[4096];
    while (true) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0) return true;
        if (n < 0) return errno == ECONNRESET;
    }
}

std::optional<std::string> ask_upgrade(int fd, const std::string& build) {
    if (!protocol::write_client_message(fd, protocol::client::Command{{"__upgrade", build, "/x/ruk"}})) return {};
    protocol::FrameReader reader(fd);
    auto message = protocol::read_server_message(reader);
    if (!message || !*message) return {};
    auto* reply = std::get_if<protocol::server::Reply>(&**message);
    if (!reply) return {};
    return std::string(reply->ok ? "ok: " : "failed: ") + reply->text;
}

TEST(Entry, HelpBuildAndUnknownCommands) {
    RukHome home;
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    };
    const Case cases[] = {
        {{"help"}, 0, FULL_HELP, ""},
        {{"-h", "extra", "words"}, 0, FULL_HELP, ""},
        {{"--help"}, 0, FULL_HELP, ""},
        {{"__build"}, 0, "1791213863822 0 0\n", ""},
        {{""}, 2, "", "ruk: unknown command ''\n\n" + FULL_HELP},
        {{"Help"}, 2, "", "ruk: unknown command 'Help'\n\n" + FULL_HELP},
        {{"kill-server"}, 1, "", "ruk: no server running\n"},
        {{"agents"}, 1, "", "ruk: no server running\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        auto got = home.ruk(c.args);
        EXPECT_EQ(got.status, c.status);
        EXPECT_EQ(got.out, c.out);
        EXPECT_EQ(got.err, c.err);
    }
    EXPECT_TRUE(home.server_pids().empty()) << "a one-shot command never starts a server";
}

TEST(Entry, SocketPathTooLongStartsNothing) {
    RukHome home;
    std::string base = home.dir().path() + "/";
    base += std::string(108 - 17 - base.size(), 'd');
    auto got = home.ruk({"__server"}, "", {{"XDG_RUNTIME_DIR", base}});
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.err, "ruk: " + base + "/ruk/default.sock is too long for a socket; set XDG_RUNTIME_DIR to a shorter directory\n");
}

class ServerTest : public ::testing::Test {
protected:
    RukHome home;
    ScopedEnv xdg_runtime{"XDG_RUNTIME_DIR", home.xdg_runtime()};
    ScopedEnv xdg_config{"XDG_CONFIG_HOME", home.xdg_config()};
    ScopedEnv ruk{"RUK", std::nullopt};

    Fd start() {
        auto conn = connect_or_start(RUK_BINARY);
        EXPECT_TRUE(conn) << conn.error().message;
        return conn ? std::move(*conn) : Fd();
    }
    pid_t only_server() {
        std::vector<pid_t> pids;
        EXPECT_TRUE(test::wait_for([&] { return (pids = home.server_pids()).size() == 1; })) << pids.size();
        return pids.empty() ? 0 : pids[0];
    }
    void expect_serving() {
        auto conn = sys::connect_unix(home.socket_path());
        ASSERT_TRUE(conn) << conn.error().message;
        EXPECT_EQ(ask_upgrade(conn->get(), "5"), "ok: current");
    }
};

TEST_F(ServerTest, KillServerStopsItAndRemovesTheSocket) {
    Fd keep = start();
    const pid_t pid = only_server();
    auto got = home.ruk({"kill-server", "ignored"});
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.err, "");
    EXPECT_TRUE(test::wait_for([&] { return !alive(pid); }));
    struct stat st {};
    EXPECT_NE(::stat(home.socket_path().c_str(), &st), 0);
    EXPECT_EQ(home.ruk({"kill-server"}).err, "ruk: no server running\n");
}

TEST_F(ServerTest, TwoStartsAtOnceLeaveOneServerThatBothReach) {
    Fd a, b;
    std::thread first([&] { a = start(); });
    std::thread second([&] { b = start(); });
    first.join();
    second.join();
    ASSERT_TRUE(a && b);
    only_server();
    EXPECT_EQ(ask_upgrade(a.get(), "5"), "ok: current");
    EXPECT_EQ(ask_upgrade(b.get(), "5"), "ok: current");
    // The server that lost the race left quietly: nothing in the log.
    EXPECT_EQ(test::read_file(home.runtime_dir() + "/server.log"), "");
}

TEST_F(ServerTest, StaleSocketFromAKilledServerDoesNotStopTheNext) {
    Fd keep = start();
    const pid_t pid = only_server();
    ::kill(pid, SIGKILL);
    ASSERT_TRUE(test::wait_for([&] { return !alive(pid); }));
    struct stat st {};
    ASSERT_EQ(::stat(home.socket_path().c_str(), &st), 0) << "the killed server left its socket behind";
    keep = start();
    EXPECT_NE(only_server(), pid);
    expect_serving();
}

TEST_F(ServerTest, UpgradeOffersAreAnswered) {
    Fd keep = start();
    const auto build = std::to_string(BUILD_NUMBER);
    const auto newer = std::to_string(BUILD_NUMBER + 1);
    const std::pair<std::string, std::string> cases[] = {
        {build, "ok: current"},
        {"+" + build, "ok: current"},
        {newer, "failed: it keeps running the old ruk until it restarts (ruk kill-server ends every window)"},
        {"x", "failed: bad build"},
    };
    for (const auto& [word, want] : cases) {
        auto conn = sys::connect_unix(home.socket_path());
        ASSERT_TRUE(conn);
        EXPECT_EQ(ask_upgrade(conn->get(), word), want) << word;
        EXPECT_TRUE(closed_by_peer(conn->get())) << "the answer ends the connection";
    }
}

TEST_F(ServerTest, MalformedFramesEndOnlyTheirConnection) {
    Fd keep = start();
    const pid_t pid = only_server();
    struct Case {
        const char* what;
        std::string bytes;
        bool cut;  // we stop writing mid-frame; otherwise the server must hang up by itself
    };
    const Case cases[] = {
        {"unknown tag", std::string("\x09\x00\x00\x00\x00", 5), false},
        {"short attach", std::string("\x01\x00\x00\x00\x03" "abc", 8), false},
        {"short peer input", std::string("\x07\x00\x00\x00\x02" "ab", 7), false},
        {"oversized header", std::string("\x02\x04\x00\x00\x01", 5), false},
        {"cut inside a header", std::string("\x02\x00\x00", 3), true},
        {"cut inside a payload", std::string("\x02\x00\x00\x00\x10" "abc", 8), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto conn = sys::connect_unix(home.socket_path());
        ASSERT_TRUE(conn);
        ASSERT_TRUE(sys::write_all(conn->get(), c.bytes));
        if (c.cut) ::shutdown(conn->get(), SHUT_WR);
        EXPECT_TRUE(closed_by_peer(conn->get()));
        EXPECT_TRUE(alive(pid));
        expect_serving();
    }
}

TEST_F(ServerTest, RandomBytesNeitherCrashNorHangTheServer) {
    Fd keep = start();
    const pid_t pid = only_server();
    std::mt19937 random(12345);
    for (int i = 0; i < 200; ++i) {
        auto conn = sys::connect_unix(home.socket_path());
        ASSERT_TRUE(conn);
        std::string noise(1 + random() % 2048, '\0');
        for (auto& ch : noise) ch = static_cast<char>(random());
        (void)sys::write_all(conn->get(), noise);
    }
    EXPECT_TRUE(alive(pid));
    expect_serving();
}

TEST_F(ServerTest, ConnectionsFromAnotherUserAreRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    Fd keep = start();
    const pid_t pid = only_server();
    // Open everything up: the server must still refuse the stranger.
    ::chmod(home.dir().path().c_str(), 0777);
    ::chmod(home.xdg_runtime().c_str(), 0777);
    ::chmod(home.runtime_dir().c_str(), 0777);
    ::chmod(home.socket_path().c_str(), 0777);
    const std::string script =
        "import socket,sys\n"
        "s=socket.socket(socket.AF_UNIX)\n"
        "s.connect(sys.argv[1])\n"
        "s.settimeout(20)\n"
        "try:\n"
        "    s.sendall(b'\\x04\\x00\\x00\\x00\\x00')\n"
        "    print('closed' if s.recv(1)==b'' else 'answered')\n"
        "except (BrokenPipeError, ConnectionResetError):\n"
        "    print('closed')\n";
    auto got = test::run({"setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups", "/usr/bin/python3", "-c",
                          script, home.socket_path()});
    EXPECT_EQ(got.out, "closed\n") << got.err;
    EXPECT_TRUE(alive(pid)) << "the stranger's KillServer was not obeyed";
    ::chmod(home.runtime_dir().c_str(), 0700);
    expect_serving();
    EXPECT_NE(test::read_file(home.runtime_dir() + "/server.log").find("refused a connection from uid 65534"),
              std::string::npos);
}

TEST_F(ServerTest, AServerThatNeverAnswersIsReportedWithItsSocket) {
    auto conn = connect_or_start("/bin/true");  // "starts" nothing that listens
    ASSERT_FALSE(conn);
    EXPECT_EQ(conn.error().message.rfind("could not reach server at " + home.socket_path() + ": ", 0), 0u)
        << conn.error().message;
}

}  // namespace
}  // namespace ruk
