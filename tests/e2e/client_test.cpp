// The attach client as a user meets it: the real `ruk` in a real terminal.
// Against a stand-in server the tests see every frame the client sends and
// choose every frame it receives; against the real server they follow the
// lifecycle: taking over, being taken over, the server killed from outside,
// the last window exiting, and a nested attach refused inside a window.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>

#include <memory>
#include <variant>

#include "client/client.h"
#include "protocol/messages.h"
#include "sys/sys.h"
#include "terminal_harness.h"
#include "test_support.h"

namespace ruk {
namespace {

using namespace std::chrono_literals;
using protocol::ClientMessage;
using test::RukHome;
using test::Terminal;

// ---- size changes --------------------------------------------------------------

using Reading = std::optional<sys::TermSize>;
struct SizeStep {
    const char* what;
    Reading now;
    std::optional<std::pair<uint16_t, uint16_t>> sent;  // rows, columns
};

TEST(SizeWatch, ReportsEachChangeOnce) {
    const SizeStep steps[] = {
        {"unchanged", sys::TermSize{30, 100}, {}},
        {"grown", sys::TermSize{40, 120}, std::pair{40, 120}},
        {"seen again", sys::TermSize{40, 120}, {}},
        {"columns only", sys::TermSize{40, 121}, std::pair{40, 121}},
        {"unreadable", std::nullopt, std::pair{24, 80}},
        {"still unreadable", std::nullopt, {}},
        {"readable again at the fallback size", sys::TermSize{24, 80}, std::pair{24, 80}},
        {"too tall", sys::TermSize{32768, 80}, std::pair{24, 80}},
        {"too tall again", sys::TermSize{32768, 80}, {}},
        {"largest allowed", sys::TermSize{32767, 32767}, std::pair{32767, 32767}},
    };
    SizeWatch watch(sys::TermSize{30, 100});
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        const auto got = watch.observe(step.now);
        ASSERT_EQ(got.has_value(), step.sent.has_value());
        if (got) {
            EXPECT_EQ(std::pair(got->rows, got->cols), *step.sent);
        }
    }
}

// ---- a stand-in server -----------------------------------------------------------

// Listens on the home's socket in place of a server, answers the upgrade
// offer every client makes first, and keeps the attaching connection.
class FakeServer {
public:
    explicit FakeServer(const RukHome& home) {
        ::mkdir(home.runtime_dir().c_str(), 0700);
        auto listener = sys::listen_unix(home.socket_path());
        EXPECT_TRUE(listener) << listener.error().message;
        if (listener) m_listener = std::move(*listener);
    }

    std::optional<protocol::client::Attach> accept_client() {
        while (m_listener) {
            pollfd ready{m_listener.get(), POLLIN, 0};
            if (::poll(&ready, 1, 30000) != 1) break;
            auto conn = sys::accept_unix(m_listener.get());
            if (!conn) break;
            (void)sys::set_recv_timeout(conn->get(), 30s);
            auto reader = std::make_unique<protocol::FrameReader>(conn->get());
            auto first = protocol::read_client_message(*reader);
            if (!first || !*first) continue;
            if (const auto* attach = std::get_if<protocol::client::Attach>(&**first)) {
                m_conn = std::move(*conn);
                m_reader = std::move(reader);
                return *attach;
            }
            (void)protocol::write_server_message(conn->get(), protocol::server::Reply{true, "current"});
        }
        ADD_FAILURE() << "no client attached";
        return std::nullopt;
    }

    std::optional<ClientMessage> next() {
        if (!m_reader) return std::nullopt;
        auto message = protocol::read_client_message(*m_reader);
        if (!message || !*message) return std::nullopt;
        return std::move(**message);
    }

    // Reads `Input` frames until this many bytes have come; the terminal may
    // hand them over in more than one read.
    std::string input(size_t length) {
        std::string bytes;
        while (bytes.size() < length) {
            auto message = next();
            const auto* input = message ? std::get_if<protocol::client::Input>(&*message) : nullptr;
            if (!input) {
                ADD_FAILURE() << "expected input after \"" << bytes << "\"";
                break;
            }
            bytes.append(input->bytes.begin(), input->bytes.end());
        }
        return bytes;
    }

    void send(const protocol::ServerMessage& message) {
        EXPECT_TRUE(protocol::write_server_message(m_conn.get(), message));
    }
    void send_raw(std::string_view bytes) { EXPECT_TRUE(sys::write_all(m_conn.get(), bytes)); }
    void send_output(std::string_view bytes) { send(protocol::server::Output{protocol::Bytes(bytes.begin(), bytes.end())}); }
    void hang_up() {
        m_reader.reset();
        m_conn.reset();
    }

private:
    Fd m_listener, m_conn;
    std::unique_ptr<protocol::FrameReader> m_reader;
};

ClientMessage resize(uint16_t rows, uint16_t cols) { return protocol::client::Resize{rows, cols}; }

void expect_same_settings(const std::optional<termios>& got, const std::optional<termios>& want) {
    ASSERT_TRUE(got && want);
    EXPECT_EQ(got->c_iflag, want->c_iflag);
    EXPECT_EQ(got->c_oflag, want->c_oflag);
    EXPECT_EQ(got->c_cflag, want->c_cflag);
    EXPECT_EQ(got->c_lflag, want->c_lflag);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(got->c_cc), NCCS),
              std::string(reinterpret_cast<const char*>(want->c_cc), NCCS));
}

void expect_usable_screen(const Terminal& term) {
    const auto modes = term.modes();
    EXPECT_FALSE(modes.alt_screen);
    EXPECT_TRUE(modes.cursor_visible);
    EXPECT_EQ(modes.mouse, 0);
}

TEST(AttachClient, RelaysBothWaysAndGivesTheTerminalBack) {
    RukHome home;
    FakeServer server(home);
    // An empty RUK is no reason to refuse.
    Terminal term(home, {}, {{"RUK", ""}}, 30, 100);
    ASSERT_TRUE(term.started());
    // The client waits for the upgrade answer before it touches the terminal.
    const auto before = term.line_settings();
    const auto attach = server.accept_client();
    ASSERT_TRUE(attach);
    EXPECT_EQ(attach->rows, 30);
    EXPECT_EQ(attach->cols, 100);

    ASSERT_TRUE(term.wait_for_bytes(ENTER_SEQUENCE)) << term.raw_output();
    EXPECT_TRUE(term.modes().alt_screen);
    const auto raw = term.line_settings();
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->c_lflag & (ICANON | ECHO | ISIG), 0u) << "keys must reach the server untouched";

    // Output goes to the terminal as it is: modes switch, a character split
    // between frames arrives whole, and a bare newline is not turned into a
    // carriage return as well.
    server.send_output("\x1b[?1000h\x1b[?1006h\x1b[?25l\x1b[Hprice: \xe2\x82");
    server.send_output("\xac" "5\x1b[2;1Ha\nb\x1b[38;5;114mc");
    ASSERT_TRUE(term.wait_for_text("price: €5")) << term.screen();
    ASSERT_TRUE(term.wait_for([&] { return term.row(2) == " bc"; })) << term.screen();
    EXPECT_EQ(term.row(1), "a");
    EXPECT_EQ(term.cell_attrs(2, 2).fg, 114);
    EXPECT_NE(term.modes().mouse, 0);
    EXPECT_FALSE(term.modes().cursor_visible);

    // Keys are forwarded untouched, the prefix key among them.
    term.type("\x02" "c\x1b[A");
    EXPECT_EQ(server.input(5), "\x02" "c\x1b[A");

    // One report per change: a second report of 40x120, for the repeat or
    // otherwise, would arrive before 20x90.
    term.resize(40, 120);
    EXPECT_EQ(server.next(), resize(40, 120));
    term.resize(40, 120);
    term.resize(20, 90);
    EXPECT_EQ(server.next(), resize(20, 90));
    term.type("q");
    EXPECT_EQ(server.input(1), "q");

    const size_t mark = term.mark();
    server.send_output("\x1b[?1004l");
    server.send(protocol::server::Detach{"detached"});
    EXPECT_EQ(term.wait_exit(), 0);
    EXPECT_EQ(term.bytes_since(mark), "\x1b[?1004l" + std::string(RESTORE_SEQUENCE) + "[detached]\r\n");
    expect_usable_screen(term);
    expect_same_settings(term.line_settings(), before);
    EXPECT_TRUE(term.wait_for_text("[detached]"));
}

struct Ending {
    const char* what;
    void (*end)(FakeServer& server, const Terminal& term);
    int status;
    std::string last_line;  // printed after the restore sequence
};

TEST(AttachClient, EveryEndingGivesTheTerminalBack) {
    const Ending endings[] = {
        {"connection lost", [](FakeServer& server, const Terminal&) { server.hang_up(); }, 0, "[lost server]\r\n"},
        {"a frame of no known kind", [](FakeServer& server, const Terminal&) {
             server.send_raw(std::string("\x09\x00\x00\x00\x00", 5));
         }, 0, "[lost server]\r\n"},
        // Killed from outside: no reason to print, but no raw terminal left behind.
        {"terminated", [](FakeServer&, const Terminal& term) { ::kill(term.pid(), SIGTERM); }, 128 + SIGTERM, ""},
    };
    for (const auto& ending : endings) {
        SCOPED_TRACE(ending.what);
        RukHome home;
        FakeServer server(home);
        Terminal term(home, {});
        ASSERT_TRUE(term.started());
        const auto before = term.line_settings();
        ASSERT_TRUE(server.accept_client());
        ASSERT_TRUE(term.wait_for_bytes(ENTER_SEQUENCE));
        const size_t mark = term.mark();
        ending.end(server, term);
        EXPECT_EQ(term.wait_exit(), ending.status);
        EXPECT_EQ(term.bytes_since(mark), std::string(RESTORE_SEQUENCE) + ending.last_line);
        expect_usable_screen(term);
        expect_same_settings(term.line_settings(), before);
    }
}

TEST(AttachClient, RefusesBeforeStartingAnything) {
    struct Refusal {
        const char* what;
        std::string shell_line;  // run with the built ruk as $0
        test::EnvChanges env;
        std::string message;
    };
    const Refusal refusals[] = {
        {"inside a window", "exec \"$0\"", {{"RUK", "/elsewhere/default.sock"}},
         "ruk: already inside ruk (unset $RUK to force)"},
        {"input redirected", "exec \"$0\" </dev/null", {}, "ruk: stdin is not a terminal"},
        {"output redirected", "exec \"$0\" >/dev/null", {}, "ruk: not a console"},
    };
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(refusal.what);
        RukHome home;
        auto env = home.env();
        env.insert(env.end(), refusal.env.begin(), refusal.env.end());
        Terminal term({"/bin/sh", "-c", refusal.shell_line, RUK_BINARY}, test::environment_with(env));
        EXPECT_EQ(term.wait_exit(), 1);
        EXPECT_EQ(term.row(0), refusal.message) << term.screen();
        EXPECT_TRUE(home.server_pids().empty());
    }
}

// ---- the real server ---------------------------------------------------------------

bool has_window(const RukHome& home) { return !test::pids_with_env("RUK=" + home.socket_path()).empty(); }

TEST(AttachClient, TakenOverByASecondClientThenServerKilled) {
    RukHome home;
    Terminal first(home, {});
    ASSERT_TRUE(first.wait_for_bytes(ENTER_SEQUENCE)) << first.raw_output();
    // The window exists once the server has taken the first client's attach.
    ASSERT_TRUE(test::wait_for([&] { return has_window(home); }));

    Terminal second(home, {});
    EXPECT_EQ(first.wait_exit(), 0);
    EXPECT_TRUE(first.wait_for_text("[detached (attached elsewhere)]")) << first.screen();
    expect_usable_screen(first);
    ASSERT_TRUE(second.wait_for_bytes(ENTER_SEQUENCE));

    const size_t mark = second.mark();
    const auto killed = home.ruk({"kill-server"});
    EXPECT_EQ(killed.status, 0) << killed.err;
    EXPECT_EQ(second.wait_exit(), 0);
    EXPECT_TRUE(second.wait_for_text("[server killed]")) << second.screen();
    const std::string tail = second.bytes_since(mark);
    EXPECT_NE(tail.find(std::string(RESTORE_SEQUENCE) + "[server killed]\r\n"), std::string::npos) << tail;
    expect_usable_screen(second);
    const auto settings = second.line_settings();
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->c_lflag & (ICANON | ECHO | ISIG), static_cast<tcflag_t>(ICANON | ECHO | ISIG));
    EXPECT_TRUE(settings->c_oflag & OPOST);
    EXPECT_TRUE(home.server_pids().empty());
}

TEST(AttachClient, RefusedInsideItsWindowAndEndsWhenTheLastWindowExits) {
    RukHome home;
    Terminal term(home, {});
    ASSERT_TRUE(term.wait_for_bytes(ENTER_SEQUENCE)) << term.raw_output();
    ASSERT_TRUE(test::wait_for([&] { return has_window(home); }));

    const std::string report = home.dir() / "nested";
    term.type(std::string(RUK_BINARY) + " 2>" + report + "; echo $? >>" + report + "\r");
    EXPECT_TRUE(test::wait_for([&] { return test::read_file(report).ends_with("\n1\n"); }));
    EXPECT_EQ(test::read_file(report), "ruk: already inside ruk (unset $RUK to force)\n1\n");

    term.type("exit\r");
    EXPECT_EQ(term.wait_exit(), 0);
    EXPECT_TRUE(term.wait_for_text("[exited]")) << term.screen();
    expect_usable_screen(term);
}

}  // namespace
}  // namespace ruk
