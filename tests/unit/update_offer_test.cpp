// The upgrade offer against a stand-in server on the runtime directory's
// socket: what it sends, which answers it passes on, and how long it waits
// for a server that says it is switching.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "paths.h"
#include "protocol/messages.h"
#include "sys/sys.h"
#include "test_support.h"
#include "update/upgrade.h"

namespace ruk {
namespace {

using namespace std::chrono_literals;

// Accepts one connection, checks the offer and answers it with `answer`.
class StandIn {
public:
    using Answer = std::function<void(int conn)>;
    StandIn() {
        auto path = socket_path();
        EXPECT_TRUE(path);
        ::unlink(path->c_str());  // left by the stand-in before
        auto listener = sys::listen_unix(*path);
        EXPECT_TRUE(listener);
        if (listener) m_listener = std::move(*listener);
    }
    ~StandIn() {
        if (m_thread.joinable()) m_thread.join();
    }
    void serve(Answer answer) {
        m_thread = std::thread([this, answer = std::move(answer)] {
            auto conn = sys::accept_unix(m_listener.get());
            if (!conn) return;
            protocol::FrameReader reader(conn->get());
            auto message = protocol::read_client_message(reader);
            if (message && *message) {
                if (auto* command = std::get_if<protocol::client::Command>(&**message)) m_offer = command->args;
            }
            answer(conn->get());
        });
    }
    std::vector<std::string> offer() {
        if (m_thread.joinable()) m_thread.join();
        return m_offer;
    }

private:
    Fd m_listener;
    std::thread m_thread;
    std::vector<std::string> m_offer;
};

struct OfferTest : ::testing::Test {
    test::TempDir dir;
    test::ScopedEnv runtime{"XDG_RUNTIME_DIR", dir.path()};
};

TEST_F(OfferTest, NoServerNoAnswer) { EXPECT_EQ(offer_upgrade("/opt/ruk", 7), std::nullopt); }

TEST_F(OfferTest, PassesOnAnyReplyAndNothingElse) {
    struct Case {
        std::string what;
        std::optional<protocol::ServerMessage> send;
        std::optional<std::string> want;
    };
    const Case cases[] = {
        {"success", protocol::server::Reply{true, "current"}, "current"},
        {"failure", protocol::server::Reply{false, "unknown command '__upgrade'"}, "unknown command '__upgrade'"},
        {"another message", protocol::server::Detach{"exited"}, std::nullopt},
        {"no answer", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        StandIn server;
        server.serve([&](int conn) {
            if (c.send) (void)protocol::write_server_message(conn, *c.send);
        });
        EXPECT_EQ(offer_upgrade("/opt/ruk dir/ruk", 1791213863823), c.want);
        EXPECT_EQ(server.offer(), (std::vector<std::string>{"__upgrade", "1791213863823", "/opt/ruk dir/ruk"}));
    }
}

TEST_F(OfferTest, AfterUpgradingItWaitsForTheCloseButNotLongerThanTenSeconds) {
    // The stand-in writes on after the requester has gone.
    ::signal(SIGPIPE, SIG_IGN);
    {
        std::atomic<bool> closed{false};
        StandIn server;
        server.serve([&](int conn) {
            (void)protocol::write_server_message(conn, protocol::server::Reply{true, "upgrading"});
            // The switch takes a moment; the requester must still be waiting.
            sys::sleep_ms(300);
            closed = true;
            sys::shutdown_both(conn);
        });
        EXPECT_EQ(offer_upgrade("/opt/ruk", 9), "upgrading");
        EXPECT_TRUE(closed);
    }
    {
        // A server that never closes and keeps talking does not hold the
        // requester beyond the ten seconds.
        StandIn server;
        server.serve([&](int conn) {
            (void)protocol::write_server_message(conn, protocol::server::Reply{true, "upgrading"});
            while (sys::write_all(conn, std::string_view("."))) sys::sleep_ms(100);
        });
        const auto start = sys::Clock::now();
        EXPECT_EQ(offer_upgrade("/opt/ruk", 9), "upgrading");
        const auto waited = sys::Clock::now() - start;
        EXPECT_GE(waited, 9s);
        EXPECT_LT(waited, 20s);
    }
}

}  // namespace
}  // namespace ruk
